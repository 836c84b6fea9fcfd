#!/bin/sh
# The Debian packages, as an administrator gets them: builds them from a copy
# of this source tree with dpkg-buildpackage (debian/), requires lintian to
# say nothing about them, and installs librtk1, librtk-dev and rtk-tools into
# a clean root (tests/install/clean-root.sh: an overlay of / in a private
# namespace, with the source and build trees hidden) where
# tests/install/installed.sh uses only the installed files. Run by
# scripts/check, as root.
#
#   debs.sh WORKDIR
set -eu
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
rm -rf "$1" && mkdir -p "$1" && work=$(cd "$1" && pwd)
step() { printf '\n==== %s\n' "$*"; }

version=$(dpkg-parsechangelog -l "$source_dir/debian/changelog" -S Version) arch=$(dpkg --print-architecture)
tree=$work/src/librtk-$version
step "dpkg-buildpackage -us -uc -b (librtk $version)"
mkdir -p "$tree" && tar -C "$source_dir" --exclude=./build --exclude=./.git -cf - . | tar -C "$tree" -xf -
(cd "$tree" && dpkg-buildpackage -us -uc -b -j2) > "$work/build.log" 2>&1 || { tail -n 60 "$work/build.log"; exit 1; }

step "lintian"
# Not as root (lintian warns when it runs with root privileges), on a copy
# that the user nobody can read wherever this tree lies.
lint=$work/src as_user=""
if [ "$(id -u)" -eq 0 ]; then
  lint=$(mktemp -d /tmp/rtk-lintian.XXXXXX) && trap 'rm -rf "$lint"' EXIT
  cp "$work"/src/*.deb "$work"/src/*.buildinfo "$work"/src/*.changes "$lint/" && chmod -R a+rX "$lint"
  as_user="setpriv --reuid=nobody --regid=nogroup --clear-groups env HOME=$lint"
fi
changes=librtk_${version}_$arch.changes
# shellcheck disable=SC2086  # as_user is a command prefix
{ (cd "$lint" && $as_user lintian --fail-on error,warning "$changes") > "$work/lintian.log" 2>&1 && [ ! -s "$work/lintian.log" ]; } ||
  { cat "$work/lintian.log"; echo "lintian has something to say about the packages"; exit 1; }
echo "lintian: nothing to report on $changes and its packages"

step "install into a clean root"
[ "$(id -u)" -eq 0 ] || { echo "debs: skipped the install into a clean root: it needs root (namespaces, overlay, FUSE)"; exit 0; }
mkdir -p "$work/carried/debs" "$work/root" && cp "$work"/src/*.deb "$work/carried/debs/"
(cd "$source_dir" && cp -r tests/install/consumer tests/install/consumer.sh tests/install/installed.sh scripts/private-ns scripts/demo-steps "$work/carried/")
sh "$source_dir/tests/install/clean-root.sh" "$work/root" "$work/carried" "$source_dir" sh /carried/private-ns sh /carried/installed.sh /carried
