#!/usr/bin/env bash
# Runs a command in a private mount namespace where the fixed key-store
# locations are throw-away: /startup_disk, /VBX and the daemon's state folder
# /var/lib/zorva are empty tmpfs mounts and /etc is an overlay whose writes
# land in a tmpfs. Nothing the command does there reaches the real file
# system.
# Needs root; without it exits 77, which ctest counts as a skipped test.
set -euo pipefail

if [ "$(id -u)" -ne 0 ] || ! command -v unshare >/dev/null; then
  echo "isolated.sh: needs root and unshare for a private mount namespace; skipping" >&2
  exit 77
fi

# Mount points for the fixed folders (empty directories, created once).
mkdir -p /startup_disk /VBX /var/lib/zorva
scratch=$(mktemp -d /tmp/zorva-ns.XXXXXX)
trap 'rmdir "$scratch" 2>/dev/null || true' EXIT

unshare -m --propagation private -- bash -euc '
  scratch=$1; shift
  mount -t tmpfs -o mode=0755 zorva-startup /startup_disk
  mount -t tmpfs -o mode=0755 zorva-vbx /VBX
  mount -t tmpfs -o mode=0755 zorva-state /var/lib/zorva
  mount -t tmpfs zorva-etc "$scratch"
  mkdir -p "$scratch/upper" "$scratch/work"
  mount -t overlay zorva-etc -o lowerdir=/etc,upperdir="$scratch/upper",workdir="$scratch/work" /etc
  mkdir -p /startup_disk/conf/conf_local /VBX/data
  exec "$@"
' isolated "$scratch" "$@"
