#!/usr/bin/env bash
# Makes the release tarball of a commit with `git archive` and writes the
# port's distinfo for it (TIMESTAMP, SHA256 and SIZE), so that distinfo is
# never edited by hand.
#
#   scripts/release.sh [-c commit] [-o dir] [-d distinfo]
#
#   -c  the commit to release (default HEAD)
#   -o  where the tarball goes (default the current directory)
#   -d  the distinfo to write (default contrib/freebsd/distinfo)
#
# The tarball is PORTNAME-DISTVERSION.tar.gz, with the names and the
# version read from contrib/freebsd/Makefile at that commit, and every file
# under the directory PORTNAME-DISTVERSION/, which is where the port builds.
# Its bytes depend on the commit alone: git archive takes the file times
# (and the id it records) from the commit, and gzip -n stores no name or
# time of its own. TIMESTAMP is the commit's time as well, so a second run
# writes the same distinfo.
#
# A release: commit the new DISTVERSION, run this script on that commit,
# commit the distinfo it wrote, and publish the tarball. The released commit
# is then the parent of the last commit that changed distinfo; the tests
# rebuild the tarball from it and compare.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

commit=HEAD
outdir=.
distinfo=$root/contrib/freebsd/distinfo
while getopts c:o:d: opt; do
  case $opt in
  c) commit=$OPTARG ;;
  o) outdir=$OPTARG ;;
  d) distinfo=$OPTARG ;;
  *) echo "usage: $0 [-c commit] [-o dir] [-d distinfo]" >&2; exit 1 ;;
  esac
done

cd "$root"
commit=$(git rev-parse --verify "$commit^{commit}")

# The port's value of a variable at that commit ("NAME=<tab>value").
port_var() {
  git show "$commit:contrib/freebsd/Makefile" |
    sed -n "s/^$1=[[:space:]]*\\([^[:space:]]*\\)[[:space:]]*\$/\\1/p"
}
name=$(port_var PORTNAME)
version=$(port_var DISTVERSION)
if [ -z "$name" ] || [ -z "$version" ]; then
  echo "release: no PORTNAME or DISTVERSION in contrib/freebsd/Makefile at $commit" >&2
  exit 1
fi
distname=$name-$version
tarball=$distname.tar.gz

mkdir -p "$outdir"
tmp=$(mktemp "$outdir/.$tarball.XXXXXX")
trap 'rm -f "$tmp"' EXIT
git archive --format=tar --prefix="$distname/" "$commit" | gzip -n -9 > "$tmp"
mv "$tmp" "$outdir/$tarball"
trap - EXIT

if command -v sha256sum > /dev/null; then
  sum=$(sha256sum "$outdir/$tarball" | cut -d ' ' -f 1)
else
  sum=$(sha256 -q "$outdir/$tarball")
fi
size=$(wc -c < "$outdir/$tarball" | tr -d ' ')
{
  echo "TIMESTAMP = $(git show -s --format=%ct "$commit")"
  echo "SHA256 ($tarball) = $sum"
  echo "SIZE ($tarball) = $size"
} > "$distinfo"
echo "$outdir/$tarball"
