#!/bin/sh
# Builds the Debian packages with cpack, installs all three with dpkg into a
# scratch root (dpkg --root, with this host's entries for the system packages
# they depend on, so that those dependencies resolve as they would here), and
# checks:
#   - each package holds exactly the files it should (from the source tree);
#   - every member is owned by root;
#   - every shared library that a packaged binary needs is provided by a
#     package named in its Depends, and librtk-dev and rtk-tools depend on
#     librtk1 of exactly the same version;
#   - the packaged rtkctl runs with the packaged library and reports the
#     package's version.
#
#   debs.sh LAYOUT WORKDIR
set -eu
. "$1"
work=$2
rm -rf "$work"
mkdir -p "$work/out"
status=0
fail() { echo "FAIL: $*"; status=1; }

cpack --config "$build_dir/CPackConfig.cmake" -B "$work/out" > "$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log"; exit 1; }
arch=$(dpkg --print-architecture)
deb() { echo "$work/out/$1_${version}_$arch.deb"; }
( cd "$work/out" && ls ./*.deb ) > "$work/debs"
for p in librtk-dev librtk1 rtk-tools; do echo "./${p}_${version}_$arch.deb"; done |
  diff -u - "$work/debs" ||
  { echo "cpack did not write exactly librtk1, librtk-dev and rtk-tools $version"; exit 1; }

root=$work/root
admin=$root/var/lib/dpkg
mkdir -p "$admin/info" "$admin/updates" "$admin/triggers"
: > "$admin/available"
# The scratch database holds this host's entries for the system packages that
# the three name in Depends; a name that is not installed here fails.
depnames=$(for p in librtk1 librtk-dev rtk-tools; do dpkg-deb -f "$(deb "$p")" Depends; done |
  tr ',|' '\n\n' | sed 's/(.*//; s/[[:space:]]//g' | sed '/^$/d; /^librtk1$/d' | sort -u)
# shellcheck disable=SC2086
dpkg-query -s $depnames > "$admin/status" 2> "$work/status.log" ||
  { echo "Depends names packages that are not installed here:"; cat "$work/status.log"; exit 1; }
dpkg --root="$root" --force-script-chrootless --no-triggers -i \
  "$(deb librtk1)" "$(deb librtk-dev)" "$(deb rtk-tools)" > "$work/dpkg.log" 2>&1 ||
  { cat "$work/dpkg.log"; exit 1; }

# Expected non-directory paths per package, relative to the root.
usr=${debprefix#/}
{
  echo "$usr/$libdir/librtk.so.$sover"
  echo "$usr/$libdir/librtk.so.$version"
} | sort > "$work/want.librtk1"
{
  echo "$usr/$libdir/librtk.so"
  for h in "$source_dir"/include/*.h; do echo "$usr/$includedir/rtk/${h##*/}"; done
  echo "$usr/$libdir/pkgconfig/rtk.pc"
  for f in rtkConfig.cmake rtkConfigVersion.cmake rtkTargets.cmake "$targets_config_file"; do
    echo "$usr/$cmakedir/$f"
  done
  echo "$usr/$mandir/man3/librtk.3.gz"
} | sort > "$work/want.librtk-dev"
{
  echo "$usr/$bindir/rtkctl"
  echo "$usr/$mandir/man1/rtkctl.1.gz"
  if [ -n "$sample_package_dir" ]; then
    (cd "$sample_package_dir" && find . -type f) | sed "s|^\./|$usr/$packagedir/|"
  fi
  [ "$with_qmdrvd" = 1 ] && echo "$usr/$sbindir/qmdrvd"
} | sort > "$work/want.rtk-tools"

for p in librtk1 librtk-dev rtk-tools; do
  dpkg --root="$root" -L "$p" | sed 's|^/||' | while read -r f; do
    [ -d "$root/$f" ] && [ ! -L "$root/$f" ] || echo "$f"
  done | sort > "$work/have.$p"
  diff -u "$work/want.$p" "$work/have.$p" > "$work/diff.$p" ||
    { fail "$p file list (- expected, + packaged):"; cat "$work/diff.$p"; }
  owners=$(dpkg-deb -c "$(deb "$p")" | awk '$2 != "root/root"')
  [ -z "$owners" ] || { fail "$p has members not owned by root:"; echo "$owners"; }
done

# The SONAME link and the development link point where they should.
[ "$(readlink "$root/$usr/$libdir/librtk.so.$sover")" = "librtk.so.$version" ] ||
  fail "librtk.so.$sover does not point to librtk.so.$version"
[ "$(readlink "$root/$usr/$libdir/librtk.so")" = "librtk.so.$sover" ] ||
  fail "librtk.so does not point to librtk.so.$sover"

# Dependencies: the package of every system library that a packaged binary
# needs directly (readelf NEEDED; ldd says where it resolves) is in that
# package's Depends. Owners are looked up with one dpkg -S over every spelling
# of each path (/lib and /usr/lib are one directory here, dpkg knows one).
for p in librtk1 rtk-tools; do
  while read -r f; do
    file -b "$root/$f" | grep -q '^ELF' || continue
    needed=$(readelf -d "$root/$f" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
    LD_LIBRARY_PATH=$root/$usr/$libdir ldd "$root/$f" | awk '$2 == "=>" && $3 ~ /^\// { print $1, $3 }' |
      while read -r soname path; do
        case $path in "$root"/*) continue ;; esac
        if printf '%s\n' "$needed" | grep -qxF "$soname"; then echo "$p $f $soname $path"; fi
      done
  done < "$work/have.$p"
done > "$work/needs"
spellings() {
  for path in "$1" "$(realpath "$1")"; do
    printf '%s\n' "$path" | sed -e 'p; s|^/usr/lib/|/lib/|p; s|^/lib/|/usr/lib/|'
  done | sort -u
}
# shellcheck disable=SC2046
dpkg -S $(awk '{ print $4 }' "$work/needs" | sort -u | while read -r path; do spellings "$path"; done) \
  2>/dev/null | sed 's/^\([^:]*\)\(:[^:]*\)*: /\1 /' > "$work/owners" || true
while read -r p f soname path; do
  owner=$(spellings "$path" | while read -r alt; do awk -v a="$alt" '$2 == a { print $1; exit }' "$work/owners"; done | head -n 1)
  depends=$(dpkg-deb -f "$(deb "$p")" Depends)
  if [ -z "$owner" ]; then
    fail "no package owns $path ($soname, needed by $f)"
  elif ! printf '%s\n' "$depends" | tr ',|' '\n\n' | sed 's/(.*//; s/[[:space:]]//g' | grep -qx "$owner"; then
    fail "$p: $f needs $soname from $owner, which Depends ($depends) lacks"
  fi
done < "$work/needs"
[ -s "$work/needs" ] || fail "found no system library that the packaged binaries need"
for p in librtk-dev rtk-tools; do
  dpkg-deb -f "$(deb "$p")" Depends | tr ',' '\n' | sed 's/^ *//' | grep -qx "librtk1 (= $version)" ||
    fail "$p does not depend on librtk1 (= $version)"
done

# The library tells dependent packages which package provides it.
shlibs=$(cat "$admin/info/librtk1.shlibs" "$admin/info/librtk1:"*.shlibs 2>/dev/null || true)
[ "$shlibs" = "librtk $sover librtk1 (>= $version)" ] ||
  fail "librtk1 shlibs is '$shlibs', not 'librtk $sover librtk1 (>= $version)'"

# The packaged tool runs with the packaged library.
out=$(LD_LIBRARY_PATH=$root/$usr/$libdir "$root/$usr/$bindir/rtkctl" version) ||
  fail "packaged rtkctl does not run"
[ "$out" = "rtkctl $version" ] || fail "packaged rtkctl says '$out', the package is $version"
LD_LIBRARY_PATH=$root/$usr/$libdir ldd "$root/$usr/$bindir/rtkctl" |
  grep -q "=> $root/$usr/$libdir/librtk.so.$sover " ||
  fail "packaged rtkctl does not load the packaged librtk.so.$sover"

[ $status -eq 0 ] && echo "debs: librtk1, librtk-dev, rtk-tools $version installed into $root and checked"
exit $status
