#!/bin/sh
# clean-root.sh - runs a command, as root, in a fresh root file system: in a
# private mount and PID namespace, an overlay of / whose changes go to a
# tmpfs on BASE becomes the root, with each HIDE directory covered by an
# empty tmpfs, /tmp and /root empty, and the directory CARRY visible at
# /carried, read-only. The host's /usr, /etc, /opt and the rest are only
# read; every mount vanishes with the namespace, and every process started
# inside ends with it.
#
#   clean-root.sh BASE CARRY HIDE[:HIDE...] COMMAND [ARGS...]
set -eu
[ "$(id -u)" -eq 0 ] || { echo "clean-root: needs root (mount and PID namespaces, overlay)" >&2; exit 77; }
[ $# -ge 4 ] || { echo "usage: clean-root.sh BASE CARRY HIDE[:HIDE...] COMMAND [ARGS...]" >&2; exit 2; }
exec unshare --mount --propagation private --pid --fork -- sh -eu -c '
  base=$1 carry=$2 hide=$3 root=$1/root && shift 3
  mount -t tmpfs -o mode=755 rtk-root "$base"
  mkdir "$base/upper" "$base/work" "$root"
  mount -t overlay rtk-root -o "lowerdir=/,upperdir=$base/upper,workdir=$base/work" "$root"
  mkdir "$root/carried" && mount --bind "$carry" "$root/carried" && mount -o remount,bind,ro "$root/carried"
  (IFS=:; for dir in $hide /tmp /root; do mount -t tmpfs -o mode=755 rtk-hidden "$root$dir"; done)
  chmod 1777 "$root/tmp"
  mount -t proc proc "$root/proc" && mount --rbind /dev "$root/dev"
  exec chroot "$root" "$@"
' clean-root "$@"
