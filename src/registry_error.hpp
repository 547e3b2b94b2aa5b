// The constants registry's error type: six kinds, each rendered as one line
// of text. Only NotFound is ever produced by the registry itself; the other
// kinds are the core's API all the same (formulas_registry.hpp).
#pragma once

#include <string>
#include <string_view>
#include <system_error>
#include <variant>

namespace korvex {

class RegistryError {
 public:
  struct NotFound {
    std::string name;
  };
  struct NotImplemented {
    std::string name;
  };
  struct LoadFailed {
    std::string path;
    std::error_code source;
  };
  struct InvalidSchema {
    std::string path;
  };
  struct CyclicDerivation {
    std::string name;
  };
  struct ParseError {
    std::string subject;
    std::string detail;
  };
  using Kind = std::variant<NotFound, NotImplemented, LoadFailed, InvalidSchema, CyclicDerivation, ParseError>;

  static RegistryError not_found(std::string_view name) { return {NotFound{std::string(name)}}; }
  static RegistryError not_implemented(std::string_view name) { return {NotImplemented{std::string(name)}}; }
  static RegistryError load_failed(std::string_view path, std::error_code source) {
    return {LoadFailed{std::string(path), source}};
  }
  static RegistryError invalid_schema(std::string_view path) { return {InvalidSchema{std::string(path)}}; }
  static RegistryError cyclic_derivation(std::string_view name) { return {CyclicDerivation{std::string(name)}}; }
  static RegistryError parse_error(std::string_view subject, std::string_view detail) {
    return {ParseError{std::string(subject), std::string(detail)}};
  }

  const Kind& kind() const noexcept { return kind_; }

  // The display text: fixed pieces around the fields, which are copied byte
  // for byte (no quoting, escaping or trimming). No text ends in a full stop
  // or a line break.
  std::string message() const;

 private:
  RegistryError(Kind kind) : kind_(std::move(kind)) {}
  Kind kind_;
};

}  // namespace korvex
