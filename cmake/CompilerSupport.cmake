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

# glibc ends a thread (pthread_exit, as CPython ends daemon threads at exit)
# by unwinding it with libgcc_s's unwinder, which calls the personality
# routine of each C++ frame on the way. With libc++ that routine is
# libc++abi's, which may be linked against LLVM's libunwind (Debian's is):
# it would then hand libgcc_s's context to the other unwinder, and crash.
# With libgcc_s named first among the module's libraries, every library
# loaded with the module takes the _Unwind_* functions from libgcc_s.
# (zig, which builds the release wheels, prints no path here: its compiler
# wrappers pass libgcc_s themselves.)
function(korvex_unwind_with_libgcc_s target)
  set(CMAKE_REQUIRED_QUIET ON)
  check_cxx_source_compiles([=[
#include <cstdlib>
#include <version>
#if !defined(_LIBCPP_VERSION) || !defined(__GLIBC__)
#error "not libc++ on glibc"
#endif
int main() {}
]=] KORVEX_LIBCXX_ON_GLIBC)
  if(KORVEX_LIBCXX_ON_GLIBC)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libgcc_s.so.1
                    OUTPUT_VARIABLE libgcc_s OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    if(IS_ABSOLUTE "${libgcc_s}" AND EXISTS "${libgcc_s}")
      target_link_libraries(${target} PRIVATE "${libgcc_s}")
    endif()
  endif()
endfunction()
