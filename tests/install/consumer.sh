#!/bin/sh
# Builds the consumer project (tests/install/consumer) against an installed
# librtk twice: through the CMake package (find_package(rtk CONFIG),
# rtk::rtk) and through pkg-config (rtk.pc). Each way builds a C and a C++
# program and runs them; they must load librtk from the installed library
# directory. When rtk.h is installed, the example of the installed librtk(3)
# is compiled and linked too.
#
#   consumer.sh LAYOUT WORKDIR     installs this build with "cmake --install"
#                                  into WORKDIR/prefix and uses it there
#   consumer.sh --system WORKDIR   uses the librtk of the Debian packages,
#                                  found without any search path set
set -eu
here=$(cd "$(dirname "$0")" && pwd)
work=$2
rm -rf "$work"
mkdir -p "$work"
step() { printf '== %s\n' "$*"; }

if [ "$1" = --system ]; then
  prefix=/usr
  libdir=lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)
  mandir=share/man
  c_compiler=cc cxx_compiler=c++ consumer_flags="" loader_path=""
else
  . "$1"
  prefix=$work/prefix
  step "cmake --install $build_dir --prefix $prefix"
  cmake --install "$build_dir" --prefix "$prefix" > "$work/install.log" ||
    { cat "$work/install.log"; exit 1; }
  twice=$(sed -n 's/^-- [A-Za-z-]*: //p' "$work/install.log" | sort | uniq -d)
  [ -z "$twice" ] || { echo "installed more than once:"; echo "$twice"; exit 1; }
  # Search paths for a prefix that the tools do not know. The CMake build
  # links with a run path; the pkg-config programs need the loader's path.
  CMAKE_PREFIX_PATH=$prefix PKG_CONFIG_PATH=$prefix/$libdir/pkgconfig
  export CMAKE_PREFIX_PATH PKG_CONFIG_PATH
  loader_path=$prefix/$libdir
fi
# The directory the programs must load librtk from, as the loader sees it.
want_libdir=$(realpath "$prefix/$libdir")
[ -e "$want_libdir/librtk.so.1" ] || { echo "no librtk.so.1 in $want_libdir"; exit 1; }

step "find_package(rtk CONFIG)"
cmake -S "$here/consumer" -B "$work/cmake" \
  -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF -DCMAKE_FIND_USE_SYSTEM_PACKAGE_REGISTRY=OFF \
  -DCMAKE_C_COMPILER="$c_compiler" -DCMAKE_CXX_COMPILER="$cxx_compiler" \
  -DCMAKE_C_FLAGS="$consumer_flags" -DCMAKE_CXX_FLAGS="$consumer_flags" \
  > "$work/cmake.log" 2>&1 || { cat "$work/cmake.log"; exit 1; }
cmake --build "$work/cmake" > "$work/build.log" 2>&1 || { cat "$work/build.log"; exit 1; }
"$work/cmake/consumer_c" "$want_libdir"
"$work/cmake/consumer_cxx" "$want_libdir"

step "pkg-config rtk"
pkg-config --exists 'rtk >= 1' || { echo "pkg-config does not find rtk >= 1"; exit 1; }
cflags=$(pkg-config --cflags rtk)
libs=$(pkg-config --libs rtk)
pc_includedir=$(pkg-config --variable=includedir rtk)
pc_libdir=$(pkg-config --variable=libdir rtk)
[ "$(realpath "$pc_libdir")" = "$want_libdir" ] ||
  { echo "rtk.pc libdir $pc_libdir is not $want_libdir"; exit 1; }
mkdir -p "$work/pc"
for h in "$pc_includedir"/*.h; do
  printf '#include <%s>\n' "${h##*/}"
done > "$work/pc/all_headers.h"
# shellcheck disable=SC2086
"$c_compiler" -std=c99 -pedantic -Wall -Wextra -Werror $consumer_flags $cflags -I"$work/pc" \
  "$here/consumer/consumer.c" -o "$work/pc/consumer_c" $libs
# shellcheck disable=SC2086
"$cxx_compiler" -std=c++17 -pedantic -Wall -Wextra -Werror $consumer_flags $cflags -I"$work/pc" \
  "$here/consumer/consumer.cpp" -o "$work/pc/consumer_cxx" $libs
env ${loader_path:+LD_LIBRARY_PATH="$loader_path"} "$work/pc/consumer_c" "$want_libdir"
env ${loader_path:+LD_LIBRARY_PATH="$loader_path"} "$work/pc/consumer_cxx" "$want_libdir"

if [ -f "$pc_includedir/rtk.h" ]; then
  step "example of librtk(3)"
  # The program between the first .nf/.fi pair after ".SH EXAMPLES", with the
  # roff escapes for '-' and '\' undone.
  gzip -dc "$prefix/$mandir/man3/librtk.3.gz" |
    awk '/^\.SH EXAMPLES/ { ex = 1 } ex && /^\.fi/ { exit } ex && on { print } ex && /^\.nf/ { on = 1 }' |
    sed -e 's/\\-/-/g' -e 's/\\e/\\/g' > "$work/pc/example.c"
  grep -q RTK_InstallDriver "$work/pc/example.c" || { echo "no example in librtk.3"; exit 1; }
  # shellcheck disable=SC2086
  "$c_compiler" -std=c99 -pedantic -Wall -Wextra -Werror $consumer_flags $cflags \
    "$work/pc/example.c" -o "$work/pc/example" $libs
fi
echo "consumer: built and ran against $prefix both ways"
