#include "registry_error.hpp"

#include <gtest/gtest.h>

#include <string>

namespace korvex {
namespace {

struct MessageCase {
  const char* label;
  RegistryError error;
  std::string expected;
};

class RegistryErrorMessage : public ::testing::TestWithParam<MessageCase> {};

TEST_P(RegistryErrorMessage, IsTheFixedPiecesAroundTheFieldsVerbatim) {
  EXPECT_EQ(GetParam().error.message(), GetParam().expected);
}

const std::string kNoSuchFile = std::make_error_code(std::errc::no_such_file_or_directory).message();

INSTANTIATE_TEST_SUITE_P(
    AllKinds, RegistryErrorMessage,
    ::testing::Values(
        MessageCase{"NotFound", RegistryError::not_found("b4"), "constant `b4` not found in registry"},
        MessageCase{"NotFoundEmpty", RegistryError::not_found(""), "constant `` not found in registry"},
        MessageCase{"NotFoundBacktick", RegistryError::not_found("a`b"), "constant `a`b` not found in registry"},
        MessageCase{"NotFoundSpaces", RegistryError::not_found(" b3 "), "constant ` b3 ` not found in registry"},
        MessageCase{"NotFoundNonAscii", RegistryError::not_found("\xCF\x86 \xE2\x84\x8F"),
                    "constant `\xCF\x86 \xE2\x84\x8F` not found in registry"},
        MessageCase{"NotFoundNul", RegistryError::not_found(std::string_view("a\0b", 3)),
                    std::string("constant `") + std::string("a\0b", 3) + "` not found in registry"},
        MessageCase{"NotImplemented", RegistryError::not_implemented("n_gen_sq"),
                    "derivation of `n_gen_sq` is not yet implemented in korvex_core"},
        MessageCase{
            "LoadFailed",
            RegistryError::load_failed("/tmp/c.json", std::make_error_code(std::errc::no_such_file_or_directory)),
            "failed to load constants from `/tmp/c.json`: " + kNoSuchFile},
        MessageCase{"InvalidSchema", RegistryError::invalid_schema("c.json"), "invalid JSON schema in `c.json`"},
        MessageCase{"CyclicDerivation", RegistryError::cyclic_derivation("x"), "cyclic derivation involving `x`"},
        MessageCase{"ParseError", RegistryError::parse_error("a +", "unexpected end"),
                    "expression parse error in `a +`: unexpected end"},
        MessageCase{"ParseErrorEmptyDetail", RegistryError::parse_error("a", ""), "expression parse error in `a`: "}),
    [](const ::testing::TestParamInfo<MessageCase>& info) { return std::string(info.param.label); });

TEST(RegistryErrorMessage, NoKindEndsWithAFullStopOrLineBreak) {
  for (const RegistryError& error :
       {RegistryError::not_found("x"), RegistryError::not_implemented("x"),
        RegistryError::load_failed("x", std::make_error_code(std::errc::permission_denied)),
        RegistryError::invalid_schema("x"), RegistryError::cyclic_derivation("x"),
        RegistryError::parse_error("x", "y")}) {
    const std::string message = error.message();
    ASSERT_FALSE(message.empty());
    EXPECT_NE(message.back(), '.') << message;
    EXPECT_NE(message.back(), '\n') << message;
  }
}

TEST(RegistryError, CopiesItsFieldsAtConstruction) {
  std::string name = "b3";
  const RegistryError error = RegistryError::not_found(name);
  name = "changed";
  EXPECT_EQ(error.message(), "constant `b3` not found in registry");
  ASSERT_TRUE(std::holds_alternative<RegistryError::NotFound>(error.kind()));
}

}  // namespace
}  // namespace korvex
