#include "registry_error.hpp"

namespace korvex {
namespace {

template <class... Ts>
struct Overloaded : Ts... {
  using Ts::operator()...;
};
template <class... Ts>
Overloaded(Ts...) -> Overloaded<Ts...>;

std::string concat(std::initializer_list<std::string_view> pieces) {
  std::size_t size = 0;
  for (std::string_view p : pieces) size += p.size();
  std::string out;
  out.reserve(size);
  for (std::string_view p : pieces) out += p;
  return out;
}

}  // namespace

std::string RegistryError::message() const {
  const Overloaded render{
      [](const NotFound& e) {
        return concat({"constant `", e.name, "` not found in registry"});
      },
      [](const NotImplemented& e) {
        return concat({"derivation of `", e.name, "` is not yet implemented in korvex_core"});
      },
      [](const LoadFailed& e) {
        return concat({"failed to load constants from `", e.path, "`: ", e.source.message()});
      },
      [](const InvalidSchema& e) {
        return concat({"invalid JSON schema in `", e.path, "`"});
      },
      [](const CyclicDerivation& e) {
        return concat({"cyclic derivation involving `", e.name, "`"});
      },
      [](const ParseError& e) {
        return concat({"expression parse error in `", e.subject, "`: ", e.detail});
      },
  };
  return std::visit(render, kind_);
}

}  // namespace korvex
