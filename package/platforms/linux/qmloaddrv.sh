#!/bin/sh
# qmloaddrv.sh - loads the Quillmar driver: starts the stand-in driver
# qmdrvd installed beside this script and binds its device onto
# /dev/quillmar0. Loading a loaded driver succeeds quietly. Prints one line.
#
# QMDRVD_OPTIONS, when set, is passed on to qmdrvd (for example
# "--version 1.0.0.7" to stand in for an older driver).
set -u
prog=qmloaddrv.sh
install_dir=@RTK_INSTALL_DIR@
# The stand-in's process ID and mount point live here; the build fills in
# the directory that rtkctl's "driver" command uses as well.
state_dir=@RTK_DRIVER_RUN_DIR@
pidfile=$state_dir/qmdrvd.pid
device=/dev/quillmar0
[ -n "${QM_SCRIPT_LOG:-}" ] && printf '%s %s\n' "$prog" "$*" >> "$QM_SCRIPT_LOG"
[ $# -eq 0 ] || { printf 'usage: %s\n' "$prog" >&2; exit 2; }

pid=$(cat "$pidfile" 2>/dev/null)
if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null && [ -e "$device" ]; then
  printf '%s: driver already loaded (qmdrvd %s on %s)\n' "$prog" "$pid" "$device"
  exit 0
fi
[ -x "$install_dir/qmdrvd" ] || { printf '%s: %s/qmdrvd is not installed\n' "$prog" "$install_dir" >&2; exit 1; }
mkdir -p "$state_dir" || exit 1
# shellcheck disable=SC2086  # the options are meant to split into words
"$install_dir/qmdrvd" --daemon --pidfile "$pidfile" --device "$device" \
  ${QMDRVD_OPTIONS:-} "$state_dir/mnt" || { printf '%s: qmdrvd did not start\n' "$prog" >&2; exit 1; }
printf '%s: driver loaded (qmdrvd %s on %s)\n' "$prog" "$(cat "$pidfile")" "$device"
