# The fresh-machine step of ./dev test: the README's set-up tried as a new
# user would, in a root of Debian's current stable release that holds only
# what the README asks for, as a user without root, from a fresh copy of
# this clone with an empty cache. Sourced by ./dev after
# tools/interpreters.bash.

# What the README asks a user to have, and clang with libc++ for the build
# by that compiler (it is not what c++ or CMake find).
FRESH_PACKAGES=(python3 python3-dev python3-venv g++ git ca-certificates)
LIBCXX_PACKAGES=(clang-19 libc++-19-dev libc++abi-19-dev)

# fresh_root: the pristine root (rootfs/), configured natively, with the
# user "user"; kept in the cache and only ever used through a copy.
fresh_root() {
  cache_entry "debian/$DEBIAN_SRC_SUITE-fresh-$(recipe_key "${FRESH_PACKAGES[@]}" "${LIBCXX_PACKAGES[@]}")" build_fresh_root
}
build_fresh_root() {
  ensure_debian_packages debootstrap
  say "making a root of Debian $DEBIAN_SRC_SUITE with ${FRESH_PACKAGES[*]} ${LIBCXX_PACKAGES[*]} in $1"
  quietly "$1/debootstrap.log" debootstrap --variant=minbase \
    --include="$(IFS=,; echo "${FRESH_PACKAGES[*]},${LIBCXX_PACKAGES[*]}")" \
    "$DEBIAN_SRC_SUITE" "$1/rootfs" "$(debian_archive | cut -d' ' -f1)"
  chroot "$1/rootfs" useradd --create-home --shell /bin/bash user
  rm -f "$1"/rootfs/var/cache/apt/archives/*.deb
}

# fresh_machine_test: in a throwaway copy of the pristine root, as "user"
# with an empty home, on a copy of this clone's files (tracked, and new ones
# not ignored): ./dev demo, ./dev check, and pip install . built by clang
# with libc++, with the Python suite run against that install.
fresh_machine_test() {
  local root work
  root=$(fresh_root)/rootfs
  work=$(mktemp -d /var/tmp/veltrano-fresh.XXXXXX)
  cp -a "$root" "$work/rootfs"
  # The network as this machine reaches it: its name server, certificate
  # bundle and apt settings.
  cp /etc/resolv.conf "$work/rootfs/etc/"
  cp /etc/ssl/certs/ca-certificates.crt "$work/rootfs/etc/ssl/certs/"
  cp -n /etc/apt/apt.conf.d/* "$work/rootfs/etc/apt/apt.conf.d/"
  mkdir "$work/rootfs/home/user/veltrano"
  (cd "$ROOT" && git ls-files -z --cached --others --exclude-standard |
    tar --null -T - --ignore-failed-read -cf - 2>/dev/null) | tar -xf - -C "$work/rootfs/home/user/veltrano"
  chroot "$work/rootfs" chown -R user:user /home/user/veltrano
  local status=0
  # shellcheck disable=SC2016 # the inner shell expands its own arguments
  unshare --mount bash -c 'mount --rbind /dev "$1/dev" && mount -t proc proc "$1/proc" && mount -t tmpfs tmpfs "$1/tmp" &&
    exec chroot "$1" runuser -u user -- env -i HOME=/home/user PATH=/usr/local/bin:/usr/bin:/bin LANG=C.UTF-8 \
      bash -euo pipefail -c "$2"' _ "$work/rootfs" "$(declare -f fresh_user_run); fresh_user_run" || status=$?
  rm -rf "$work"
  return "$status"
}
# What the user runs: a clone, the two commands, then the clang build.
fresh_user_run() {
  cd ~/veltrano
  git init -q && git add -A && git -c user.name=user -c user.email=user@localhost commit -qm clone
  # shellcheck source=/dev/null
  echo "$(. /etc/os-release && echo "$PRETTY_NAME"), $(python3 -V), $(g++ --version | head -n 1), as $(id -un)"
  ./dev demo
  ./dev check
  # No instantiation for something of an unnamed namespace is a symbol the
  # linker may share between files (weak, or unique global).
  if find build -name '*.o' -exec nm -C {} + | grep -E ' [VWu] .*\(anonymous namespace\)'; then
    echo "error: the symbols above may be merged across files" >&2
    return 1
  fi
  echo "pip install . with clang++-19 and libc++ ($(clang++-19 --version | head -n 1))"
  python3 -m venv /tmp/clang
  local tools
  mapfile -t tools < <(grep -E '^(pytest|hypothesis)==' requirements-dev.txt)
  /tmp/clang/bin/pip install --quiet "${tools[@]}"
  CXX=clang++-19 CXXFLAGS=-stdlib=libc++ LDFLAGS=-stdlib=libc++ /tmp/clang/bin/pip install --quiet .
  ldd /tmp/clang/lib/python3*/site-packages/veltrano/_korvex_core.*.so | grep -F 'libc++.so'
  cp -r tests/python /tmp/tests
  cd /tmp/tests && VELTRANO_TEST_PREFIX=/tmp/clang /tmp/clang/bin/python -m pytest -q
}
