# The targets: one row for each interpreter that the module's wheels are
# built for or its tests run on, and how each is obtained. Sourced by ./dev
# after tools/cache.bash.
#
# Columns, separated by "|":
#   name      the interpreter's name (./dev python NAME)
#   obtained  host                      found on this machine (PYTHON, PATH, pyenv)
#             source PACKAGE [FLAG...]  built from Debian's source package (glibc),
#                                       configure flags as given
#             musl PACKAGE [ARCH]       built from Debian's source package for musl;
#                                       for ARCH cross-built with zig, and run
#                                       in ARCH's Debian root (which gets musl)
#             debian ARCH PACKAGE       Debian's binary package, in a root of
#                                       Debian unstable of its own
#   wheel     the zig target its wheel is built for; - for none
#   built by  the target whose interpreter builds that wheel from the sdist:
#             its own, or for arm64 the x86-64 one of the same version (a
#             cross build, which only changes the compiler's target)
#   tests     suite     the whole Python suite against the installed wheel
#             emulated  EMULATED_TESTS against the installed wheel, emulated
#             tsan      the threaded tests under ThreadSanitizer (./dev test)
#             bench     the Python benchmarks of the wheel (./dev bench)
#
# Adding a target is adding a row; a new kind of "obtained" is a function
# obtain_KIND below.
TARGETS='
3.12            | host                                                            | x86_64-linux-gnu.2.17  | 3.12      | suite bench
3.13            | host                                                            | x86_64-linux-gnu.2.17  | 3.13      | suite bench
3.13t           | source python3.13 --disable-gil                                 | x86_64-linux-gnu.2.17  | 3.13t     | suite bench
3.13t-tsan      | source python3.13 --disable-gil --with-thread-sanitizer OPT=-O1 | -                      | -         | tsan
musl-3.13       | musl python3.13                                                 | x86_64-linux-musl      | musl-3.13 | suite bench
3.14            | debian amd64 python3.14                                         | x86_64-linux-gnu.2.17  | 3.14      | suite bench
3.15            | debian amd64 python3.15                                         | x86_64-linux-gnu.2.17  | 3.15      | suite bench
arm64-3.13      | debian arm64 python3.13                                         | aarch64-linux-gnu.2.17 | 3.13      | emulated bench
arm64-3.14      | debian arm64 python3.14                                         | aarch64-linux-gnu.2.17 | 3.14      | emulated bench
arm64-3.15      | debian arm64 python3.15                                         | aarch64-linux-gnu.2.17 | 3.15      | emulated bench
musl-arm64-3.13 | musl python3.13 arm64                                           | aarch64-linux-musl     | musl-3.13 | emulated bench
'

# The tests that run emulated (about eighty times slower than natively):
# every member's answers and errors, the README's examples (test_wheel), the
# daemon-thread exit test with fewer runs, re-entry and the imports. Left
# out, as each alone takes minutes there: the allocation-failure sweep and
# the measure of the stack each re-entry level takes (endless re-entry on
# small stacks still runs).
EMULATED_TESTS=(test_module_surface.py test_arguments.py test_boundary.py test_constant_functions.py
  test_formulas_registry.py test_quarks_and_matrix.py test_reentry.py test_interpreter_exit.py
  --deselect test_boundary.py::test_allocation_failures_never_crash_and_map_to_faults
  --deselect test_reentry.py::test_reentry_takes_little_more_stack_than_a_trampoline)
EMULATED_EXIT_RUNS=1

# targets [TEST|wheel]: the names of all targets, of those that run TEST,
# or of those that have a wheel.
targets() {
  awk -F'|' -v test="${1:-}" 'NF == 5 { gsub(/^ +| +$/, "", $1); gsub(/ /, "", $3)
    if (test == "" || (test == "wheel" && $3 != "-") || (" " $5 " ") ~ (" " test " ")) print $1 }' <<<"$TARGETS"
}

# A target's row, trimmed, by its columns' names (column 1 is the name):
# target_obtained (the row's words), target_wheel_target, target_built_by
# and target_tests.
target_field() {
  local value
  value=$(awk -F'|' -v name="$1" -v column="$2" 'NF == 5 { gsub(/^ +| +$/, "", $1)
    if ($1 == name) { gsub(/^ +| +$/, "", $column); print $column } }' <<<"$TARGETS")
  [[ -n "$value" ]] || die "no target named '$1' (known: $(targets | paste -sd' '))"
  printf '%s\n' "$value"
}
target_obtained() { target_field "$1" 2; }
target_wheel_target() { target_field "$1" 3; }
target_built_by() { target_field "$1" 4; }
target_tests() { target_field "$1" 5; }

# is_builder NAME: whether some target's wheel is built by NAME's interpreter.
is_builder() {
  local name
  for name in $(targets wheel); do [[ $(target_built_by "$name") != "$1" ]] || return 0; done
  return 1
}

target_has() { [[ " $(target_tests "$1") " == *" $2 "* ]]; }

# target_python NAME: the interpreter's path, as target_run sees it;
# obtained first when needed.
target_python() {
  local -a how
  read -r -a how <<<"$(target_obtained "$1")"
  "obtain_${how[0]}" "$1" "${how[@]:1}"
}

# target_run NAME COMMAND...: runs COMMAND where the target's interpreter
# runs: here, or inside its Debian root.
target_run() {
  local -a how
  read -r -a how <<<"$(target_obtained "$1")"
  shift
  case ${how[0]}:${how[2]:-} in
    debian:*) in_debian_root "${how[1]}" "$@" ;;
    musl:?*) in_debian_root "${how[2]}" "$@" ;;
    *) "$@" ;;
  esac
}

# target_python_info NAME: "X.Y ABI EXT_SUFFIX" of the target's interpreter
# (3.13 cp313t .cpython-313t-x86_64-linux-gnu.so), asked once per target and
# interpreter and kept in the cache (an emulated interpreter takes seconds
# to start).
target_python_info() {
  local python memo
  python=$(target_python "$1")
  memo=$CACHE_ROOT/python-info/$1-$(recipe_key "$python")
  if [[ ! -s $memo ]]; then
    mkdir -p "${memo%/*}"
    target_run "$1" "$python" -c 'import sys, sysconfig
print("%d.%d" % sys.version_info[:2], "cp%d%d%s" % (*sys.version_info[:2],
      "t" if sysconfig.get_config_var("Py_GIL_DISABLED") else ""), sysconfig.get_config_var("EXT_SUFFIX"))' \
      >"$memo.$BASHPID" || die "the interpreter of $1 ($python) does not start"
    mv "$memo.$BASHPID" "$memo"
  fi
  cat "$memo"
}

# pip_platform ZIG_TARGET: the package index's platform tag of wheels for
# the target (- for this machine's).
pip_platform() {
  case $1 in
    -) printf 'manylinux_2_17_%s\n' "$(uname -m)" ;;
    *-linux-musl) printf 'musllinux_1_2_%s\n' "${1%%-*}" ;;
    *-linux-gnu*) printf 'manylinux_2_17_%s\n' "${1%%-*}" ;;
    *) die "no platform tag for $1" ;;
  esac
}

