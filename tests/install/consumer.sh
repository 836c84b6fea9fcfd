#!/bin/sh
# Builds the consumer project (tests/install/consumer) against an installed
# librtk twice: through the CMake package (find_package(rtk CONFIG),
# rtk::rtk) and through pkg-config (rtk.pc). Each way builds a C and a C++
# program and runs them; they must load librtk from the installed library
# directory.
#
#   consumer.sh LAYOUT WORKDIR     installs this build with "cmake --install"
#                                  into WORKDIR/prefix and uses it there
#   consumer.sh --system WORKDIR   uses the librtk of the Debian packages,
#                                  found without any search path set
set -eu
here=$(cd "$(dirname "$0")" && pwd)
work=$2
rm -rf "$work" && mkdir -p "$work/pc"
if [ "$1" = --system ]; then
  prefix=/usr libdir=lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH) c_compiler=cc cxx_compiler=c++ consumer_flags="" loader_path=""
else
  . "$1"
  prefix=$work/prefix
  cmake --install "$build_dir" --prefix "$prefix" > "$work/install.log" || { cat "$work/install.log"; exit 1; }
  twice=$(sed -n 's/^-- [A-Za-z-]*: //p' "$work/install.log" | sort | uniq -d)
  [ -z "$twice" ] || { echo "installed more than once: $twice"; exit 1; }
  # Search paths for a prefix that the tools do not know. The CMake build
  # links with a run path; the pkg-config programs need the loader's path.
  export CMAKE_PREFIX_PATH="$prefix" PKG_CONFIG_PATH="$prefix/$libdir/pkgconfig"
  loader_path=$prefix/$libdir
fi
want=$(realpath "$prefix/$libdir")

echo "== find_package(rtk CONFIG)"
{ cmake -S "$here/consumer" -B "$work/cmake" -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF -DCMAKE_FIND_USE_SYSTEM_PACKAGE_REGISTRY=OFF \
    -DCMAKE_C_COMPILER="$c_compiler" -DCMAKE_CXX_COMPILER="$cxx_compiler" -DCMAKE_C_FLAGS="$consumer_flags" -DCMAKE_CXX_FLAGS="$consumer_flags" &&
    cmake --build "$work/cmake"; } > "$work/cmake.log" 2>&1 || { cat "$work/cmake.log"; exit 1; }
for program in consumer_c consumer_cxx; do "$work/cmake/$program" "$want"; done

echo "== pkg-config rtk"
pkg-config --exists 'rtk >= 1' || { echo "pkg-config does not find rtk >= 1"; exit 1; }
[ "$(realpath "$(pkg-config --variable=libdir rtk)")" = "$want" ] || { echo "rtk.pc names another libdir than $want"; exit 1; }
for h in "$(pkg-config --variable=includedir rtk)"/*.h; do printf '#include <%s>\n' "${h##*/}"; done > "$work/pc/all_headers.h"
# shellcheck disable=SC2046,SC2086  # flags are word lists
for program in "$c_compiler -std=c99 consumer.c" "$cxx_compiler -std=c++17 consumer.cpp"; do
  set -- $program
  $1 $2 -pedantic -Wall -Wextra -Werror $consumer_flags $(pkg-config --cflags rtk) -I"$work/pc" "$here/consumer/$3" -o "$work/pc/$3.out" $(pkg-config --libs rtk)
  env ${loader_path:+LD_LIBRARY_PATH="$loader_path"} "$work/pc/$3.out" "$want"
done

echo "consumer: built and ran against $prefix both ways"
