# Interpreters that the machine does not have, built from Debian's sources
# into the cache. Sourced by ./dev, which provides say, die and quietly.
#
#   interpreter_path NAME   prints the interpreter's path, building it first when needed
#
# Each name maps to one build function below; adding an interpreter is one
# more line in known_interpreters and one more function.

CACHE_ROOT="${XDG_CACHE_HOME:-$HOME/.cache}/veltrano"

# NAME  builder  Debian source package  [further arguments of the builder]
known_interpreters() {
  cat <<'EOF'
musl-3.13 build_musl_python python3.13
3.13t build_freethreaded_python python3.13
3.13t-tsan build_freethreaded_python python3.13 --with-thread-sanitizer
EOF
}

interpreter_path() {
  local name=$1 builder package
  local -a more
  read -r builder package < <(known_interpreters | awk -v n="$name" '$1 == n { print $2, $3 }') ||
    die "no interpreter named '$name' (known: $(known_interpreters | awk '{ printf "%s ", $1 }'))"
  [[ -n "$builder" ]] || die "no interpreter named '$name' (known: $(known_interpreters | awk '{ printf "%s ", $1 }'))"
  read -r -a more < <(known_interpreters | awk -v n="$name" '$1 == n { $1 = $2 = $3 = ""; print }')
  # One build at a time: a second caller waits and then finds it done.
  mkdir -p "$CACHE_ROOT/python"
  (
    flock 9
    "$builder" "$package" "${more[@]}"
  ) 9>"$CACHE_ROOT/python/.$name.lock"
}

# Installs Debian packages when they are missing (as root only).
ensure_debian_packages() {
  local missing=() package
  for package in "$@"; do
    dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
  done
  [[ ${#missing[@]} -eq 0 ]] && return
  if [[ $(id -u) -eq 0 ]] && command -v apt-get >/dev/null; then
    say "installing ${missing[*]}"
    DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 update -qq
    DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -qq "${missing[@]}" >/dev/null
  else
    die "missing Debian packages: sudo apt-get install ${missing[*]}"
  fi
}

# --- Debian source packages -------------------------------------------------

# A private apt configuration that lists the sources of Debian's stable
# suite (trixie), with the archive address and keyring the machine's own
# apt uses. The machine's configuration is left untouched, and nothing is
# ever installed from it: it only downloads source packages.
DEBIAN_SRC_SUITE=trixie
debian_apt_options() {
  local dir="$CACHE_ROOT/apt"
  if [[ ! -s "$dir/sources.list" ]]; then
    local uri keyring
    [[ -r /etc/apt/sources.list.d/debian.sources ]] ||
      die "/etc/apt/sources.list.d/debian.sources is missing: cannot tell which Debian archive to use"
    # The first stanza that is not the security archive.
    read -r uri keyring < <(awk '
      /^$/ { if (u != "" && s !~ /security/) { print u, k; found = 1; exit } u = ""; s = ""; k = "" }
      /^URIs:/ { u = $2 } /^Suites:/ { s = $0 } /^Signed-By:/ { k = $2 }
      END { if (!found && u != "" && s !~ /security/) print u, k }' /etc/apt/sources.list.d/debian.sources)
    [[ -n "$uri" && -n "$keyring" ]] || die "no archive address and keyring in /etc/apt/sources.list.d/debian.sources"
    mkdir -p "$dir/lists/partial" "$dir/cache/archives/partial"
    printf 'deb-src [signed-by=%s] %s %s main\n' "$keyring" "$uri" "$DEBIAN_SRC_SUITE" >"$dir/sources.list"
  fi
  printf '%s\n' -o "Dir::Etc::SourceList=$dir/sources.list" -o Dir::Etc::SourceParts=/dev/null \
    -o "Dir::State::Lists=$dir/lists" -o "Dir::Cache=$dir/cache"
}

# debian_source PACKAGE: prints the folder that holds the package's upstream
# tarball (PACKAGE_VERSION.orig.tar.*), downloading it first if needed. The
# list of sources is refreshed once a day.
debian_source() {
  local package=$1 version dir
  local -a apt
  mapfile -t apt < <(debian_apt_options)
  if [[ -z $(find "$CACHE_ROOT/apt/lists" -maxdepth 1 -name '*Sources*' -mtime -1 2>/dev/null) ]]; then
    say "reading the list of Debian's $DEBIAN_SRC_SUITE sources"
    quietly "$CACHE_ROOT/apt/update.log" apt-get "${apt[@]}" update
  fi
  version=$(apt-cache "${apt[@]}" showsrc "$package" | awk '/^Version:/ { print $2; exit }')
  [[ -n "$version" ]] || die "Debian's $DEBIAN_SRC_SUITE has no source package $package"
  dir="$CACHE_ROOT/debian-src/${package}_$version"
  if ! compgen -G "$dir/*.orig.tar.*" >/dev/null; then
    say "downloading the source of $package $version from Debian's $DEBIAN_SRC_SUITE"
    rm -rf "$dir"
    mkdir -p "$dir.partial"
    (cd "$dir.partial" && quietly "$dir.partial/download.log" apt-get "${apt[@]}" source --download-only "$package=$version")
    mv "$dir.partial" "$dir"
  fi
  printf '%s\n' "$dir"
}

# unpack_upstream DIR DEST: the upstream tarball of a downloaded source
# package, unpacked into DEST (without Debian's changes).
unpack_upstream() {
  local src=$1 dest=$2 tarball
  tarball=$(compgen -G "$src/*.orig.tar.*" | head -n 1)
  rm -rf "$dest"
  mkdir -p "$dest"
  tar -xf "$tarball" -C "$dest" --strip-components=1
}

# --- musl CPython -------------------------------------------------------------

# A CPython linked against musl, built with Debian's musl-gcc so that it
# matches the machine's musl loader, with zlib and libffi built static from
# Debian's sources. It has no ssl: packages come from wheels downloaded by
# the host's pip (musl_wheelhouse) and are installed offline.
MUSL_PYTHON_RECIPE=1
build_musl_python() {
  local package=$1 py_src zlib_src ffi_src py_version prefix work deps
  ensure_debian_packages musl musl-dev musl-tools autoconf automake libtool
  py_src=$(debian_source "$package")
  py_version=$(basename "$py_src" | sed -E 's/^[^_]+_([0-9.]+).*/\1/')
  prefix="$CACHE_ROOT/python/musl-$py_version-r$MUSL_PYTHON_RECIPE"
  local python="$prefix/bin/python${py_version%.*}"
  if [[ -x "$python" && -f "$prefix/.complete" ]]; then
    printf '%s\n' "$python"
    return
  fi
  zlib_src=$(debian_source zlib)
  ffi_src=$(debian_source libffi)
  say "building CPython $py_version for musl into $prefix (a few minutes, once)"
  rm -rf "$prefix"
  work=$(mktemp -d "${TMPDIR:-/tmp}/veltrano-musl-python.XXXXXX")
  deps="$prefix/deps"
  mkdir -p "$prefix/tools/kernel-headers" "$deps"

  # musl-gcc sees only musl's headers: give it the kernel's, and answer
  # nothing to --print-multiarch (CPython's configure refuses the host gcc's
  # x86_64-linux-gnu for a musl build).
  ln -s /usr/include/linux "$prefix/tools/kernel-headers/linux"
  ln -s /usr/include/asm-generic "$prefix/tools/kernel-headers/asm-generic"
  ln -s "/usr/include/$(gcc -print-multiarch)/asm" "$prefix/tools/kernel-headers/asm"
  cat >"$prefix/tools/cc" <<EOF
#!/bin/sh
for arg in "\$@"; do
  case \$arg in --print-multiarch|-print-multiarch) exit 0 ;; esac
done
exec musl-gcc -isystem "$prefix/tools/kernel-headers" "\$@"
EOF
  chmod +x "$prefix/tools/cc"
  local cc="$prefix/tools/cc" jobs
  jobs=$(nproc)

  unpack_upstream "$zlib_src" "$work/zlib"
  (cd "$work/zlib" && CC="$cc" CFLAGS="-O2 -fPIC" quietly "$work/zlib.log" ./configure --static --prefix="$deps" &&
    quietly "$work/zlib.log" make -j"$jobs" install) || die "building zlib for musl failed"
  unpack_upstream "$ffi_src" "$work/libffi"
  # Debian's libffi tarball is the project's repository without a
  # generated configure script.
  [[ -x "$work/libffi/configure" ]] || (cd "$work/libffi" && quietly "$work/libffi.log" autoreconf -fi) ||
    die "generating libffi's configure script failed"
  (cd "$work/libffi" && CC="$cc" CFLAGS="-O2 -fPIC" quietly "$work/libffi.log" ./configure --host=x86_64-linux-musl \
    --disable-shared --enable-static --disable-docs --prefix="$deps" &&
    quietly "$work/libffi.log" make -j"$jobs" install) || die "building libffi for musl failed"
  unpack_upstream "$py_src" "$work/python"
  (cd "$work/python" && CC="$cc" PKG_CONFIG_LIBDIR="$deps/lib/pkgconfig:$deps/lib64/pkgconfig" \
    CPPFLAGS="-I$deps/include" LDFLAGS="-L$deps/lib -L$deps/lib64" \
    quietly "$work/python.log" ./configure --prefix="$prefix" --with-ensurepip=no \
    --without-system-libmpdec --without-readline &&
    quietly "$work/python.log" make -j"$jobs" &&
    quietly "$work/python.log" make install) || die "building CPython $py_version for musl failed"
  quietly "$work/ensurepip.log" "$python" -m ensurepip
  "$python" -c 'import ctypes, zlib, sysconfig; assert "musl" in sysconfig.get_config_var("EXT_SUFFIX")' ||
    die "the musl CPython in $prefix lacks ctypes or zlib, or is not a musl build"
  rm -rf "$work"
  touch "$prefix/.complete"
  printf '%s\n' "$python"
}

# --- Free-threaded CPython ---------------------------------------------------

# build_freethreaded_python PACKAGE [CONFIGURE_FLAG...]: CPython built
# without the global interpreter lock (--disable-gil), for glibc, with the
# machine's gcc and libraries (ssl included, so that its pip installs from
# the package index like any other interpreter's). Further configure flags
# make a variant with a prefix of its own, named after them:
# --with-thread-sanitizer gives 3.13.5-freethreaded-thread-sanitizer-r1.
#
# The standard library's own tests are not installed (TEST_MODULES=no at
# install; the test extensions such as _testcapi are): byte-compiling them
# is most of the install, and under ThreadSanitizer takes minutes.
#
# A ThreadSanitizer build runs itself during the build (the stdlib's byte
# code, ensurepip): a race report there is not the build's concern, so
# those runs exit normally and write their reports into the work folder
# (tsan-build.*, left there for reading when the build fails).
FREETHREADED_PYTHON_RECIPE=1
build_freethreaded_python() {
  local package=$1 py_src py_version prefix work variant=""
  shift
  local -a flags=("$@")
  ensure_debian_packages gcc make libssl-dev zlib1g-dev libffi-dev libbz2-dev liblzma-dev libsqlite3-dev
  py_src=$(debian_source "$package")
  py_version=$(basename "$py_src" | sed -E 's/^[^_]+_([0-9.]+).*/\1/')
  [[ ${#flags[@]} -eq 0 ]] ||
    variant=-$(printf '%s\n' "${flags[@]}" | sed -E 's/^--(with-|enable-)?//; s/=/-/g' | paste -sd-)
  prefix="$CACHE_ROOT/python/$py_version-freethreaded$variant-r$FREETHREADED_PYTHON_RECIPE"
  local python="$prefix/bin/python${py_version%.*}t"
  if [[ -x "$python" && -f "$prefix/.complete" ]]; then
    printf '%s\n' "$python"
    return
  fi
  say "building free-threaded CPython $py_version ${flags[*]} into $prefix (ten minutes or more, once)"
  rm -rf "$prefix"
  work=$(mktemp -d "${TMPDIR:-/tmp}/veltrano-freethreaded-python.XXXXXX")
  unpack_upstream "$py_src" "$work/python"
  (cd "$work/python" && export TSAN_OPTIONS="exitcode=0:log_path=$work/tsan-build" &&
    quietly "$work/python.log" ./configure --prefix="$prefix" --disable-gil \
    --with-ensurepip=install --without-readline "${flags[@]}" &&
    quietly "$work/python.log" make -j"$(nproc)" &&
    quietly "$work/python.log" make install TEST_MODULES=no) ||
    die "building free-threaded CPython $py_version ${flags[*]} failed"
  "$python" -c 'import _testcapi, ctypes, ssl, sys, sysconfig, zlib
assert sysconfig.get_config_var("Py_GIL_DISABLED") and not sys._is_gil_enabled()' ||
    die "the CPython in $prefix lacks _testcapi, ctypes, ssl or zlib, or is not free-threaded"
  rm -rf "$work"
  touch "$prefix/.complete"
  printf '%s\n' "$python"
}

# musl_wheelhouse PYTHON REQUIREMENT...: a folder of musllinux wheels for
# PYTHON's version, downloaded by the host's pip (the musl interpreter has
# no ssl), to install with --no-index --find-links. Kept per set of
# requirements.
musl_wheelhouse() {
  local python=$1 version key dir
  shift
  version=$(python_version "$python")
  key=$(printf '%s\n' "$version" "$@" | sha256sum | cut -c1-12)
  dir="$CACHE_ROOT/wheelhouse/musl-$version-$key"
  if [[ ! -f "$dir/.complete" ]]; then
    say "downloading musllinux wheels for CPython $version: $*"
    mkdir -p "$dir"
    quietly "$dir/download.log" "$VENV/bin/python" -m pip download --quiet --only-binary=:all: \
      --platform musllinux_1_2_x86_64 --python-version "$version" --implementation cp -d "$dir" "$@"
    touch "$dir/.complete"
  fi
  printf '%s\n' "$dir"
}
