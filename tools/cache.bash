# The cache that every clone and every run of one user share: interpreters,
# Debian roots, toolchains, GoogleTest builds, venvs, wheelhouses. Sourced
# by ./dev; uses nothing else of it.
#
#   cache_entry KEY BUILDER [ARG...]
#       prints the folder $CACHE_ROOT/KEY, first made by BUILDER ARG...
#       FOLDER when it is not there yet (BUILDER's output goes to stderr)
#
# An entry is made under a lock in its final place (interpreters and venvs
# cannot be moved once made) and counts as made once its .complete marker
# exists, which is written last. A second run that needs the entry while it
# is being made waits on the lock, then reuses it. A run killed at any
# moment leaves at most a folder without the marker, which the next run
# clears and makes anew; the lock is the kernel's (flock), so a killed
# holder releases it.

CACHE_ROOT="${XDG_CACHE_HOME:-$HOME/.cache}/veltrano"

cache_entry() {
  local key=$1 dir="$CACHE_ROOT/$1"
  shift
  if [[ ! -f "$dir/.complete" ]]; then
    mkdir -p "${dir%/*}"
    (
      flock 9
      if [[ ! -f "$dir/.complete" ]]; then
        rm -rf "$dir"
        mkdir -p "$dir"
        "$@" "$dir" >&2 || exit
        touch "$dir/.complete"
      fi
    ) 9>"$dir.lock"
  fi
  printf '%s\n' "$dir"
}
