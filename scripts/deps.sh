#!/bin/sh
# Installs the Debian packages that building, testing and running librtk
# need, when they are missing and we are root. Sourced or run by the other
# scripts; prints what it installs.
set -eu
packages="cmake make g++ gcc clang lld binutils pkg-config libgtest-dev libgmock-dev
 libbenchmark-dev libcrypt-dev libfuse3-dev fuse3 util-linux iproute2 valgrind
 dpkg-dev debhelper lintian man-db file groff-base time jq"
missing=""
for p in $packages; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing="$missing $p"
  fi
done
if [ -z "$missing" ]; then
  exit 0
fi
if [ "$(id -u)" -ne 0 ]; then
  echo "deps: missing Debian packages:$missing" >&2
  echo "deps: run as root to install them, or install them with apt-get" >&2
  exit 1
fi
echo "deps: installing$missing"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
# shellcheck disable=SC2086
apt-get install -y -qq --no-install-recommends $missing
