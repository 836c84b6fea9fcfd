#!/bin/sh
# qmunloaddrv.sh - unloads the Quillmar driver: stops the stand-in driver
# qmdrvd, which removes its bind from /dev/quillmar0 and its mount as it
# stops. Unloading a driver that is not loaded succeeds quietly. Prints one
# line.
set -u
prog=qmunloaddrv.sh
# The stand-in's process ID and mount point live here; the build fills in
# the directory that rtkctl's "driver" command uses as well.
state_dir=@RTK_DRIVER_RUN_DIR@
pidfile=$state_dir/qmdrvd.pid
device=/dev/quillmar0
[ -n "${QM_SCRIPT_LOG:-}" ] && printf '%s %s\n' "$prog" "$*" >> "$QM_SCRIPT_LOG"
[ $# -eq 0 ] || { printf 'usage: %s\n' "$prog" >&2; exit 2; }

pid=$(cat "$pidfile" 2>/dev/null)
if [ -z "$pid" ] || ! kill -0 "$pid" 2>/dev/null; then
  # A driver that died may have left its bind and mount behind.
  mountpoint -q "$device" 2>/dev/null && umount -l "$device"
  mountpoint -q "$state_dir/mnt" 2>/dev/null && umount -l "$state_dir/mnt"
  rm -f "$pidfile"
  printf '%s: driver not loaded\n' "$prog"
  exit 0
fi
kill -TERM "$pid"
tries=0
while kill -0 "$pid" 2>/dev/null; do
  tries=$((tries + 1))
  if [ $tries -gt 100 ]; then
    printf '%s: qmdrvd %s did not stop\n' "$prog" "$pid" >&2
    exit 1
  fi
  sleep 0.1
done
rm -f "$pidfile"
printf '%s: driver unloaded (qmdrvd %s stopped)\n' "$prog" "$pid"
