# How the interpreters of the target table (tools/targets.bash) are
# obtained: obtain_KIND NAME ARG... prints the interpreter's path as
# target_run sees it. Sourced by ./dev after tools/cache.bash; uses its say,
# die, quietly, find_python and ensure_debian_packages.

obtain_host() { find_python "$1"; }

# Built interpreters are cache entries named after the target and keyed by
# their recipe; each entry names its interpreter in the file "interpreter".
SOURCE_PYTHON_RECIPE=2
obtain_source() {
  local name=$1
  shift
  cat "$(cache_entry "python/$name-$(recipe_key "$@" "$SOURCE_PYTHON_RECIPE")" build_source_python "$@")/interpreter"
}
MUSL_PYTHON_RECIPE=2
obtain_musl() {
  local name=$1
  shift
  cat "$(cache_entry "python/$name-$(recipe_key "$@" "$MUSL_PYTHON_RECIPE")" build_musl_python "$name" "$@")/interpreter"
}
obtain_debian() {
  debian_root "$2" >/dev/null
  printf '/usr/bin/%s\n' "$3"
}

recipe_key() { printf '%s\n' "$@" | sha256sum | cut -c1-12; }

# --- CPython from Debian's sources ---------------------------------------------

# build_source_python PACKAGE [CONFIGURE_ARG...] DIR: CPython for glibc with
# the machine's gcc and libraries, optimised (-O3) unless an OPT argument
# says otherwise, without debug information. No pip (packages are installed
# from the host, install_into_venv) and not the standard library's own tests
# (the test extensions such as _testcapi are kept).
build_source_python() {
  local package=$1 dir=${*: -1}
  local -a flags=("${@:2:$#-2}")
  ensure_debian_packages gcc make libssl-dev zlib1g-dev libffi-dev libbz2-dev liblzma-dev libsqlite3-dev
  say "building CPython from $package ${flags[*]} into $dir (several minutes, once)"
  unpack_upstream "$(debian_source "$package")" "$dir/work"
  # A ThreadSanitizer build runs itself while building: its race reports
  # there are not the build's concern.
  (cd "$dir/work" && export TSAN_OPTIONS="exitcode=0:log_path=$dir/work/tsan-build" &&
    quietly "$dir/build.log" ./configure --prefix="$dir" --with-ensurepip=no --without-readline OPT=-O3 "${flags[@]}" &&
    quietly "$dir/build.log" make -j"$(nproc)" &&
    quietly "$dir/build.log" make install TEST_MODULES=no)
  rm -rf "$dir/work"
  installed_interpreter "$dir" 'import _testcapi, ctypes, json, zlib'
}

# build_musl_python NAME PACKAGE [ARCH] DIR: CPython linked against musl,
# with zlib and libffi built static from Debian's sources. Here, built with
# Debian's musl-gcc so that it matches the machine's musl loader; for ARCH,
# cross-built with zig (musl 1.2.5, as Debian unstable's), with the
# interpreter of the target's "built by" row as the build Python.
build_musl_python() {
  local name=$1 package=$2 dir=${*: -1} arch=${4:+$3}
  local deps="$dir/deps" cc="$dir/tools/cc" host=x86_64-linux-musl
  local -a cross=() run=()
  ensure_debian_packages musl musl-dev musl-tools autoconf automake libtool
  say "building CPython from $package for musl ${arch:-here} into $dir (a few minutes, once)"
  if [[ -n $arch ]]; then
    host=${arch/arm64/aarch64}-linux-musl
    cc=$(zig_toolchain "$host")/bin
    # Linked dynamically (zig links statically unless told otherwise; a
    # static interpreter cannot load extensions), the interpreter as a
    # position-independent program: zig's stub of the C library puts all
    # its data at one address, so the copy relocations of a fixed-address
    # program would make environ, tzname and the rest one variable.
    export AR=$cc/ar RANLIB=$cc/ranlib LDFLAGS=-dynamic
    cc+=/cc
    # configure tells musl (the extension suffix's platform) by a mark of
    # musl's stdarg.h, which clang's own hides: its preprocessor is given it.
    # zig makes __DATE__ (which sys.version shows) an error: allowed again.
    cross=(--build="$(uname -m)-linux-gnu" --host="$host" --with-build-python="$(target_python "$(target_built_by "$name")")"
      ac_cv_file__dev_ptmx=yes ac_cv_file__dev_ptc=no ac_cv_buggy_getaddrinfo=no CPP="$cc -E -D__DEFINED_va_list"
      CFLAGS="-Wno-date-time -fPIE" LINKFORSHARED="-Xlinker -export-dynamic -pie")
    run=(in_debian_root "$arch")
  else
    # musl-gcc sees only musl's headers: give it the kernel's, and answer
    # nothing to --print-multiarch (CPython's configure refuses the host gcc's
    # x86_64-linux-gnu for a musl build).
    mkdir -p "$dir/tools/kernel-headers"
    ln -s /usr/include/linux /usr/include/asm-generic "$dir/tools/kernel-headers/"
    ln -s "/usr/include/$(gcc -print-multiarch)/asm" "$dir/tools/kernel-headers/asm"
    cat >"$cc" <<EOF
#!/bin/sh
for arg in "\$@"; do
  case \$arg in --print-multiarch|-print-multiarch) exit 0 ;; esac
done
exec musl-gcc -isystem "$dir/tools/kernel-headers" "\$@"
EOF
    chmod +x "$cc"
  fi
  mkdir -p "$deps"
  unpack_upstream "$(debian_source zlib)" "$dir/work/zlib"
  (cd "$dir/work/zlib" && CC="$cc" CFLAGS="-O2 -fPIC" quietly "$dir/build.log" ./configure --static --prefix="$deps" &&
    quietly "$dir/build.log" make -j"$(nproc)" install)
  unpack_upstream "$(debian_source libffi)" "$dir/work/libffi"
  # Debian's libffi tarball is the project's repository, without a
  # generated configure script.
  (cd "$dir/work/libffi" && { [[ -x configure ]] || quietly "$dir/build.log" autoreconf -fi; } &&
    CC="$cc" CFLAGS="-O2 -fPIC" quietly "$dir/build.log" ./configure --host="$host" \
      --disable-shared --enable-static --disable-docs --prefix="$deps" &&
    quietly "$dir/build.log" make -j"$(nproc)" install)
  unpack_upstream "$(debian_source "$package")" "$dir/work/python"
  (cd "$dir/work/python" && CC="$cc" PKG_CONFIG_LIBDIR="$deps/lib/pkgconfig:$deps/lib64/pkgconfig" \
    CPPFLAGS="-I$deps/include" LDFLAGS="-L$deps/lib -L$deps/lib64 ${LDFLAGS:-}" \
    quietly "$dir/build.log" ./configure --prefix="$dir" --with-ensurepip=no --without-system-libmpdec \
      --without-readline OPT=-O3 "${cross[@]}" &&
    quietly "$dir/build.log" make -j"$(nproc)" &&
    quietly "$dir/build.log" make install TEST_MODULES=no)
  rm -rf "$dir/work"
  installed_interpreter "$dir" 'import _testcapi, ctypes, json, sysconfig, zlib
assert "musl" in sysconfig.get_config_var("EXT_SUFFIX")' "${run[@]}"
}

# installed_interpreter DIR CHECK [RUNNER...]: names DIR's interpreter in
# DIR/interpreter once it passes CHECK (Python code), run by RUNNER.
installed_interpreter() {
  local python
  python=$(compgen -G "$1/bin/python3.[0-9]*" | grep -v -- -config | head -n 1)
  if [[ ! -x "$python" ]] || ! "${@:3}" "$python" -c "$2"; then die "the CPython in $1 fails: $2"; fi
  printf '%s\n' "$python" >"$1/interpreter"
}

# debian_source PACKAGE: the folder with the package's upstream tarball,
# from Debian's stable suite, downloaded once through a private apt
# configuration (the machine's own is left untouched, and nothing is
# installed from this one).
DEBIAN_SRC_SUITE=trixie
debian_source() { cache_entry "debian-src/$1" download_debian_source "$1"; }
download_debian_source() {
  local lists
  lists=$(cache_entry "apt/$DEBIAN_SRC_SUITE-sources-$(date +%Y%m%d)" read_debian_sources)
  say "downloading the source of $1 from Debian's $DEBIAN_SRC_SUITE"
  # Only the upstream tarball is used (apt checks it against the signed
  # index): a mirror that lacks the package's .dsc or Debian's changes will do.
  (cd "$2" && apt-get "${DEBIAN_APT[@]/@/$lists}" source --download-only "$1" >"$2/download.log" 2>&1) ||
    compgen -G "$2/*.orig.tar.[gx]z" >/dev/null || die "downloading the source of $1 failed: $(tail -n 5 "$2/download.log")"
}
DEBIAN_APT=(-o Dir::Etc::SourceList=@/sources.list -o Dir::Etc::SourceParts=/dev/null
  -o Dir::State::Lists=@/lists -o Dir::Cache=@/cache)
read_debian_sources() {
  local uri keyring
  read -r uri keyring < <(debian_archive)
  [[ -n "$uri" && -n "$keyring" ]] || die "no Debian archive address and keyring in /etc/apt/sources.list.d/debian.sources or /etc/apt/sources.list: cannot tell which Debian archive to use"
  mkdir -p "$1/lists/partial" "$1/cache/archives/partial"
  printf 'deb-src [signed-by=%s] %s %s main\n' "$keyring" "$uri" "$DEBIAN_SRC_SUITE" >"$1/sources.list"
  say "reading the list of Debian's $DEBIAN_SRC_SUITE sources"
  quietly "$1/update.log" apt-get "${DEBIAN_APT[@]/@/$1}" update
}

# The archive address and keyring of the machine's own apt: the first
# stanza of debian.sources that is not the security archive, or else the
# first "deb" line of sources.list (as debootstrap writes it), with
# Debian's keyring.
debian_archive() {
  local sources=/etc/apt/sources.list.d/debian.sources
  if [[ -r $sources ]]; then
    awk '/^$/ { if (u != "" && s !~ /security/) { print u, k; found = 1; exit } u = s = k = "" }
      /^URIs:/ { u = $2 } /^Suites:/ { s = $0 } /^Signed-By:/ { k = $2 }
      END { if (!found && u != "" && s !~ /security/) print u, k }' "$sources"
  elif [[ -r /etc/apt/sources.list ]]; then
    awk '$1 == "deb" && $2 !~ /^\[/ && $3 !~ /security/ { print $2, "/usr/share/keyrings/debian-archive-keyring.gpg"; exit }' \
      /etc/apt/sources.list
  fi
}

# unpack_upstream DIR DEST: the upstream tarball of a downloaded source
# package unpacked into DEST, without Debian's changes.
unpack_upstream() {
  mkdir -p "$2"
  tar -xf "$(compgen -G "$1/*.orig.tar.*" | head -n 1)" -C "$2" --strip-components=1
}

# --- Debian unstable roots -------------------------------------------------------

# debian_root ARCH: a root of Debian unstable for ARCH (in rootfs/) holding
# the interpreters of every target obtained from it, with their venv and
# dev packages; include-pythonX.Y/ holds that version's headers for ARCH.
debian_root() {
  local arch=$1 name
  local -a how packages=()
  for name in $(targets); do
    read -r -a how <<<"$(target_obtained "$name")"
    [[ ${how[0]} == debian && ${how[1]} == "$arch" ]] && packages+=("${how[2]}" "${how[2]}-venv" "${how[2]}-dev")
    [[ ${how[0]} == musl && ${how[2]:-} == "$arch" ]] && packages+=(musl)
  done
  [[ $arch == "$(dpkg --print-architecture)" ]] || ensure_emulator "$arch"
  cache_entry "debian/sid-$arch-$(recipe_key "${packages[@]}")" build_debian_root "$arch" "${packages[@]}"
}

# build_debian_root ARCH PACKAGE... DIR: debootstrap's first stage, which
# downloads the packages and checks the archive's signature, then every
# package unpacked. Nothing is configured: an interpreter needs no
# maintainer script to run, and a root of another architecture would run
# them emulated, for many minutes.
build_debian_root() {
  local arch=$1 dir=${*: -1} deb version
  local -a packages=("${@:2:$#-2}")
  ensure_debian_packages debootstrap bubblewrap
  say "making a root of Debian unstable ($arch) with ${packages[*]} in $dir"
  quietly "$dir/debootstrap.log" debootstrap --foreign --arch="$arch" --variant=minbase \
    --include="$(IFS=,; echo "${packages[*]}")" sid "$dir/rootfs" "$(debian_archive | cut -d' ' -f1)"
  for deb in "$dir"/rootfs/var/cache/apt/archives/*.deb; do
    dpkg-deb -x "$deb" "$dir/rootfs"
  done
  rm -f "$dir"/rootfs/var/cache/apt/archives/*.deb
  # Debian's pyconfig.h includes the architecture's own, chosen by the
  # compiler's macros; for a cross build that one takes its place.
  for version in "$dir"/rootfs/usr/include/python3.*; do
    version=${version##*/}
    cp -r "$dir/rootfs/usr/include/$version" "$dir/include-$version"
    cp "$dir"/rootfs/usr/include/*-linux-gnu/"$version"/pyconfig.h "$dir/include-$version/"
  done
}

# in_debian_root ARCH COMMAND...: COMMAND run with the root as /, and this
# clone, the cache and the temporary folder at their own paths (bwrap: as
# root, or where user namespaces are allowed).
in_debian_root() {
  local rootfs dir
  rootfs=$(debian_root "$1")/rootfs
  shift
  ensure_debian_packages bubblewrap
  local -a binds=()
  for dir in "$ROOT" "$CACHE_ROOT" "${TMPDIR:-/tmp}"; do binds+=(--bind "$dir" "$dir"); done
  bwrap --bind "$rootfs" / --dev-bind /dev /dev --proc /proc "${binds[@]}" --chdir "$PWD" --die-with-parent \
    --setenv PATH /usr/local/bin:/usr/bin:/bin "$@"
}

# ensure_emulator ARCH: programs for ARCH run here through qemu, registered
# with the kernel's binfmt_misc (a setting of the whole machine, made as
# root) so that they also start each other.
ensure_emulator() {
  local qemu=qemu-${1/arm64/aarch64}
  ensure_debian_packages qemu-user-static
  [[ -f /proc/sys/fs/binfmt_misc/$qemu ]] && return
  [[ $(id -u) -eq 0 ]] || die "$1 programs need qemu registered with binfmt_misc: run ./dev python arm64-3.13 once as root"
  # Under a lock: a second registration of the same name fails.
  (
    flock 9
    [[ -f /proc/sys/fs/binfmt_misc/register ]] || mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
    [[ -f /proc/sys/fs/binfmt_misc/$qemu ]] || cat "/usr/lib/binfmt.d/$qemu.conf" >/proc/sys/fs/binfmt_misc/register
  ) 9>"$CACHE_ROOT/binfmt.lock"
}
