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
if [ "$(id -u)" -ne 0 ]; then
  echo "clean-root: needs root (mount and PID namespaces, overlay)" >&2
  exit 77
fi
[ $# -ge 4 ] || { echo "usage: clean-root.sh BASE CARRY HIDE[:HIDE...] COMMAND [ARGS...]" >&2; exit 2; }
exec unshare --mount --propagation private --pid --fork -- sh -eu -c '
  base=$1 carry=$2 hide=$3
  shift 3
  mount -t tmpfs -o mode=755 rtk-root "$base"
  mkdir "$base/upper" "$base/work" "$base/root"
  mount -t overlay rtk-root -o "lowerdir=/,upperdir=$base/upper,workdir=$base/work" "$base/root"
  root=$base/root
  mkdir "$root/carried"
  mount --bind "$carry" "$root/carried"
  mount -o remount,bind,ro "$root/carried"
  old_ifs=$IFS
  IFS=:
  for dir in $hide /tmp /root; do
    mount -t tmpfs -o mode=755 rtk-hidden "$root$dir"
  done
  IFS=$old_ifs
  chmod 1777 "$root/tmp"
  mount -t proc proc "$root/proc"
  mount --rbind /dev "$root/dev"
  exec chroot "$root" "$@"
' clean-root "$@"
