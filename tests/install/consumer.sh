#!/bin/sh
# Installs the build into a scratch prefix with "cmake --install" (each file
# must be installed once) and builds
# the consumer project (tests/install/consumer) against it twice: through the
# CMake package (find_package(rtk CONFIG), rtk::rtk) and through pkg-config
# (rtk.pc). Each way builds a C and a C++ program and runs them; they must
# load librtk from the scratch prefix. When rtk.h is installed, the example
# of librtk(3) is compiled and linked too.
#
#   consumer.sh LAYOUT WORKDIR
set -eu
. "$1"
work=$2
rm -rf "$work"
mkdir -p "$work"
step() { printf '== %s\n' "$*"; }

prefix=$work/prefix
step "cmake --install $build_dir --prefix $prefix"
cmake --install "$build_dir" --prefix "$prefix" > "$work/install.log" ||
  { cat "$work/install.log"; exit 1; }
twice=$(sed -n 's/^-- [A-Za-z-]*: //p' "$work/install.log" | sort | uniq -d)
[ -z "$twice" ] || { echo "installed more than once:"; echo "$twice"; exit 1; }
# The directory the programs must load librtk from, as the loader sees it.
want_libdir=$(realpath "$prefix/$libdir")
[ -e "$want_libdir/librtk.so.1" ] || { echo "no librtk.so.1 in $want_libdir"; exit 1; }

step "find_package(rtk CONFIG)"
cmake -S "$source_dir/tests/install/consumer" -B "$work/cmake" \
  -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF -DCMAKE_FIND_USE_SYSTEM_PACKAGE_REGISTRY=OFF \
  -DCMAKE_C_COMPILER="$c_compiler" -DCMAKE_CXX_COMPILER="$cxx_compiler" \
  -DCMAKE_C_FLAGS="$consumer_flags" -DCMAKE_CXX_FLAGS="$consumer_flags" \
  > "$work/cmake.log" 2>&1 || { cat "$work/cmake.log"; exit 1; }
cmake --build "$work/cmake" > "$work/build.log" 2>&1 || { cat "$work/build.log"; exit 1; }
"$work/cmake/consumer_c" "$want_libdir"
"$work/cmake/consumer_cxx" "$want_libdir"

step "pkg-config rtk"
PKG_CONFIG_PATH=$prefix/$libdir/pkgconfig
export PKG_CONFIG_PATH
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
  "$source_dir/tests/install/consumer/consumer.c" -o "$work/pc/consumer_c" $libs
# shellcheck disable=SC2086
"$cxx_compiler" -std=c++17 -pedantic -Wall -Wextra -Werror $consumer_flags $cflags -I"$work/pc" \
  "$source_dir/tests/install/consumer/consumer.cpp" -o "$work/pc/consumer_cxx" $libs
LD_LIBRARY_PATH=$pc_libdir "$work/pc/consumer_c" "$want_libdir"
LD_LIBRARY_PATH=$pc_libdir "$work/pc/consumer_cxx" "$want_libdir"

if [ -f "$pc_includedir/rtk.h" ]; then
  step "example of librtk(3)"
  # The program between the first .nf/.fi pair after ".SH EXAMPLES", with the
  # roff escapes for '-' and '\' undone.
  awk '/^\.SH EXAMPLES/ { ex = 1 } ex && /^\.fi/ { exit } ex && on { print } ex && /^\.nf/ { on = 1 }' \
    "$source_dir/man/librtk.3" | sed -e 's/\\-/-/g' -e 's/\\e/\\/g' > "$work/pc/example.c"
  grep -q RTK_InstallDriver "$work/pc/example.c" || { echo "no example in librtk.3"; exit 1; }
  # shellcheck disable=SC2086
  "$c_compiler" -std=c99 -pedantic -Wall -Wextra -Werror $consumer_flags $cflags \
    "$work/pc/example.c" -o "$work/pc/example" $libs
fi
echo "consumer: built and ran against $prefix both ways"
