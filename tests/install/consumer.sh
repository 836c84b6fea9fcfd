#!/bin/sh
# Builds the consumer project (tests/install/consumer) against the librtk of
# the Debian packages, found without any search path set, twice: through the
# CMake package (find_package(rtk CONFIG), rtk::rtk) and through pkg-config
# (rtk.pc). Each way builds a C and a C++ program and runs them; they must
# load librtk from the installed library directory. Run by installed.sh.
#
#   consumer.sh WORKDIR
set -eu
here=$(cd "$(dirname "$0")" && pwd) work=$1
rm -rf "$work" && mkdir -p "$work/pc"
want=$(realpath "/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)")

echo "== find_package(rtk CONFIG)"
{ cmake -S "$here/consumer" -B "$work/cmake" -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF -DCMAKE_FIND_USE_SYSTEM_PACKAGE_REGISTRY=OFF &&
    cmake --build "$work/cmake"; } > "$work/cmake.log" 2>&1 || { cat "$work/cmake.log"; exit 1; }
for program in consumer_c consumer_cxx; do "$work/cmake/$program" "$want"; done

echo "== pkg-config rtk"
pkg-config --exists 'rtk >= 1' || { echo "pkg-config does not find rtk >= 1"; exit 1; }
[ "$(realpath "$(pkg-config --variable=libdir rtk)")" = "$want" ] || { echo "rtk.pc names another libdir than $want"; exit 1; }
# shellcheck disable=SC2046,SC2086  # flags are word lists
for program in "cc -std=c99 consumer.c" "c++ -std=c++17 consumer.cpp"; do
  set -- $program
  $1 $2 -pedantic -Wall -Wextra -Werror $(pkg-config --cflags rtk) -I"$work/cmake" "$here/consumer/$3" -o "$work/pc/$3.out" $(pkg-config --libs rtk)
  "$work/pc/$3.out" "$want"
done
echo "consumer: built and ran against the installed packages both ways"
