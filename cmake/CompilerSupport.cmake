# Stops the configuration with one sentence when the C++ compiler and its
# standard library lack the C++23 parts the code is built on: std::expected
# and std::to_chars for double. Without this check an older compiler (for
# example clang 16 with libstdc++ 12) fails with hundreds of errors instead.
include(CheckCXXSourceCompiles)

function(korvex_require_cxx23_library)
  set(CMAKE_REQUIRED_QUIET ON)
  check_cxx_source_compiles([=[
#include <charconv>
#include <expected>
int main() {
  char text[32];
  std::expected<double, int> value = 0.5;
  const auto result = std::to_chars(text, text + sizeof text, *value);
  return result.ec == std::errc{} ? 0 : 1;
}
]=] KORVEX_HAVE_CXX23_LIBRARY)
  if(NOT KORVEX_HAVE_CXX23_LIBRARY)
    message(FATAL_ERROR
      "${CMAKE_CXX_COMPILER_ID} ${CMAKE_CXX_COMPILER_VERSION} (${CMAKE_CXX_COMPILER}) with its standard library "
      "cannot build this project: it needs C++23's std::expected and std::to_chars for double, "
      "as in GCC 12 or later, or clang 17 or later with libc++ 17 or later (zig 0.12 or later).")
  endif()
endfunction()
