#!/bin/sh
# Reading the mounted volume (brenvik-cli raid --mount) against cat reading one member.
# Usage: mount-speed.sh BRENVIK_CLI WORK_DIR [MiB per member, default 512] [layout, default
# raid5-left-symmetric] [warm | cold | disks [MB/s per disk, default 200]]
# - warm: the members stay in the page cache; both sides measure copies in memory (cat of a cached
#   member is one copy, the mount needs two: an upper bound, not a goal).
# - cold: every read starts with the members out of the page cache (GNU dd's nocache drops a
#   file's pages without root); all members lie on the one disk WORK_DIR is on, as member images
#   on one storage do.
# - disks: each member is a read-only loop device (direct I/O) whose reads a block-I/O cgroup
#   limits to the given rate, as separate member disks are each limited by their own speed (needs
#   root, losetup and the cgroup blkio or io controller).
# The volume is read once per mount, as a program reading it for the first time does.
set -eu
cli=$1 work=$2 size=${3:-512} layout=${4:-raid5-left-symmetric} mode=${5:-warm} disk_rate=${6:-200}
mkdir -p "$work/mnt"
for i in 0 1 2 3; do
  [ -f "$work/m$i.img" ] && [ "$(stat -c %s "$work/m$i.img")" -eq $((size << 20)) ] ||
    head -c "$((size << 20))" /dev/urandom > "$work/m$i.img"
done
members="$work/m0.img $work/m1.img $work/m2.img $work/m3.img"
cgroup=
cleanup() {
  if [ "$mode" = disks ]; then
    for m in $members; do losetup -d "$m" 2>/dev/null || true; done
    [ -n "$cgroup" ] && { echo $$ > "$(dirname "$cgroup")/cgroup.procs"; rmdir "$cgroup"; } 2>/dev/null || true
  fi
}
trap cleanup EXIT
if [ "$mode" = disks ]; then
  devices=
  for m in $members; do devices="$devices $(losetup -r --direct-io=on -f --show "$m")"; done
  members=$devices
  if [ -d /sys/fs/cgroup/blkio ]; then
    cgroup=/sys/fs/cgroup/blkio/brenvik-mount-speed
    mkdir -p "$cgroup"
    for d in $members; do
      echo "$(stat -L -c '%Hr:%Lr' "$d") $((disk_rate * 1000000))" \
        > "$cgroup/blkio.throttle.read_bps_device"
    done
  else
    cgroup=/sys/fs/cgroup/brenvik-mount-speed
    mkdir -p "$cgroup"
    for d in $members; do
      echo "$(stat -L -c '%Hr:%Lr' "$d") rbps=$((disk_rate * 1000000))" \
        > "$cgroup/io.max"
    done
  fi
  echo $$ > "$cgroup/cgroup.procs"
fi
forget() {  # the members leave the page cache, but in warm runs
  case $mode in
    cold) for m in $members; do dd if="$m" iflag=nocache count=0 status=none; done ;;
    disks) for m in $members; do blockdev --flushbufs "$m"; done ;;
  esac
}
mib_of() { [ -b "$1" ] && echo $(($(blockdev --getsize64 "$1") >> 20)) || echo $(($(stat -c %s "$1") >> 20)); }
rate() {  # MiB/s of reading $1 with cat, best of three
  best=0
  for run in 1 2 3; do
    forget
    start=$(date +%s.%N)
    cat "$1" > /dev/null
    end=$(date +%s.%N)
    r=$(echo "$(mib_of "$1") / ($end - $start)" | bc -l)
    best=$(echo "if ($r > $best) $r else $best" | bc -l)
  done
  printf '%.0f' "$best"
}
[ "$mode" = warm ] && cat $members > /dev/null
member=$(rate "$(echo $members | cut -d' ' -f1)")
# The volume is mounted anew for each read: a mount keeps what it served in the page cache.
best=0
for run in 1 2 3; do
  # shellcheck disable=SC2086
  "$cli" raid $members --layout "$layout" --stripe 64K --mount "$work/mnt" 2>/dev/null &
  pid=$!
  for i in $(seq 100); do [ -f "$work/mnt/volume.img" ] && break; sleep 0.1; done
  forget
  start=$(date +%s.%N)
  cat "$work/mnt/volume.img" > /dev/null
  end=$(date +%s.%N)
  r=$(echo "$(mib_of "$work/mnt/volume.img") / ($end - $start)" | bc -l)
  best=$(echo "if ($r > $best) $r else $best" | bc -l)
  fusermount3 -u "$work/mnt" || kill "$pid"
  wait "$pid" || true
done
volume=$(printf '%.0f' "$best")
echo "$mode: cat of a member: $member MiB/s; cat of the mounted volume ($layout): $volume MiB/s; ratio $(echo "scale=2; $volume / $member" | bc -l)"
