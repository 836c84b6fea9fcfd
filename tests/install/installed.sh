#!/bin/sh
# Runs inside the clean root that tests/install/debs.sh makes, under
# scripts/private-ns: installs librtk1, librtk-dev and rtk-tools with dpkg
# and then uses only what they installed: rtkctl reports the packages'
# version, the consumers build through pkg-config and find_package(rtk), the
# bash completion completes, and the main job runs on
# /usr/share/rtk/sample-package. (lintian already reads the manual pages with
# man and warns about any trouble.)
#
#   installed.sh CARRIED     (CARRIED holds debs/ and the test scripts)
set -eu
carried=$1 && step() { printf '\n== %s\n' "$*"; }
fail() { echo "FAIL: $*"; exit 1; }

step "dpkg -i librtk1 librtk-dev rtk-tools, in a root that holds no librtk yet"
! pkg-config --exists rtk && [ ! -e /usr/bin/rtkctl ] && ! ldconfig -p | grep -q 'librtk\.so' || fail "a librtk is installed already"
dpkg -i "$carried"/debs/*.deb > /tmp/dpkg.log 2>&1 || { cat /tmp/dpkg.log; exit 1; }  # the three packages
version=$(dpkg-query -W -f '${Version}' rtk-tools) && [ "$(rtkctl version)" = "rtkctl $version" ] || fail "rtkctl says '$(rtkctl version)', the package is $version"

step "consumers"
sh "$carried/consumer.sh" /tmp/consumer

step "completion"
offered=$(bash -c '. /usr/share/bash-completion/completions/rtkctl; COMP_WORDS=(rtkctl --json st); COMP_CWORD=2; _rtkctl; echo "${COMPREPLY[*]}"') &&
  [ "$offered" = "stat status" ] || fail "completing 'rtkctl --json st' offers '$offered'"

step "main job"
sh "$carried/demo-steps" rtkctl /usr/share/rtk/sample-package | tee /tmp/job.log
grep -q '^driver: loaded, version 1.0.0.8 (current)$' /tmp/job.log || fail "the driver was not loaded"
[ "$(tail -n 3 /tmp/job.log | head -n 1)" = "driver: not loaded" ] || fail "the driver is still loaded"
[ ! -e /opt/quillmar ] || fail "/opt/quillmar is left after the uninstall"
echo "installed: librtk $version from its packages: consumers, completion, main job"
