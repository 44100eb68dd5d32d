#!/usr/bin/env bash
# Builds the project for FreeBSD/amd64 from this Debian machine: every unit
# compiled for the target with FreeBSD 13.5's headers, then the CMake build
# cross-compiled and linked against FreeBSD's libc, libthr, liblzma and
# libc++; the daemon, quarn_inspect and quarn_synth must come out as FreeBSD
# executables. The toolchain folder (check.sh, toolchain.cmake, sysroot/) is
# $QUARN_FREEBSD_DIR, or shared/freebsd beside this checkout or beside one of
# its parent folders; a clone made from a local checkout also looks beside
# the checkout it came from. Without the folder the check fails.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

# shared/freebsd beside $1 or beside any of its parents.
find_beside() {
  local d=$1
  while [ -n "$d" ] && [ "$d" != / ]; do
    if [ -x "$d/../shared/freebsd/check.sh" ]; then
      (cd "$d/../shared/freebsd" && pwd)
      return 0
    fi
    d=$(dirname "$d")
  done
  return 1
}

fb=${QUARN_FREEBSD_DIR:-}
if [ -z "$fb" ]; then
  fb=$(find_beside "$root") || fb=
fi
if [ -z "$fb" ]; then
  origin=$(git -C "$root" config --get remote.origin.url 2>/dev/null) || origin=
  case $origin in
    /*) [ -d "$origin" ] && { fb=$(find_beside "$(cd "$origin" && pwd)") || fb=; } ;;
  esac
fi
if [ -z "$fb" ] || [ ! -x "$fb/check.sh" ]; then
  echo "freebsd-check: no FreeBSD toolchain folder found (set QUARN_FREEBSD_DIR)" >&2
  exit 1
fi

log=$(mktemp)
trap 'rm -f "$log"' EXIT
bash "$fb/check.sh" "$root" >"$log" 2>&1
status=$?
cat "$log"
[ $status -eq 0 ] || exit $status

# check.sh checks every program it finds in the build; the tools must be
# among them.
for tool in quarn_inspect quarn_synth; do
  if ! grep -q "^ok   $tool links for FreeBSD" "$log"; then
    echo "freebsd-check: $tool did not come out of the FreeBSD build" >&2
    exit 1
  fi
done
