#!/bin/sh
# Reading the mounted volume (brenvik-cli raid --mount) against cat reading one member, the
# physical limit: each member is read once into the page cache first, so both measure what the
# machine does with cached members (run it idle; compare the two rates, not the absolute ones).
# The volume is read once per mount, as a program reading it for the first time does.
# Usage: mount-speed.sh BRENVIK_CLI WORK_DIR [MiB per member, default 512] [layout, default
# raid5-left-symmetric] [cold]
# With "cold", every read starts with the members out of the page cache (GNU dd's nocache drops a
# file's pages without root), so both sides read the disk, as they do on real members.
set -eu
cli=$1 work=$2 size=${3:-512} layout=${4:-raid5-left-symmetric} cold=${5:-}
forget() {  # in cold runs, the members leave the page cache
  [ "$cold" = cold ] || return 0
  for m in "$work"/m*.img; do dd if="$m" iflag=nocache count=0 status=none; done
}
mkdir -p "$work/mnt"
for i in 0 1 2 3; do
  [ -f "$work/m$i.img" ] && [ "$(stat -c %s "$work/m$i.img")" -eq $((size << 20)) ] ||
    head -c "$((size << 20))" /dev/urandom > "$work/m$i.img"
done
rate() {  # MiB/s of reading $1 with cat, best of three
  best=0
  for run in 1 2 3; do
    forget
    start=$(date +%s.%N)
    cat "$1" > /dev/null
    end=$(date +%s.%N)
    mib=$(($(stat -c %s "$1") >> 20))
    r=$(echo "$mib / ($end - $start)" | bc -l)
    best=$(echo "if ($r > $best) $r else $best" | bc -l)
  done
  printf '%.0f' "$best"
}
cat "$work"/m*.img > /dev/null
member=$(rate "$work/m0.img")
# The volume is mounted anew for each read: a mount keeps what it served in the page cache.
best=0
for run in 1 2 3; do
  "$cli" raid "$work/m0.img" "$work/m1.img" "$work/m2.img" "$work/m3.img" --layout "$layout" --stripe 64K \
    --mount "$work/mnt" 2>/dev/null &
  pid=$!
  for i in $(seq 100); do [ -f "$work/mnt/volume.img" ] && break; sleep 0.1; done
  forget
  start=$(date +%s.%N)
  cat "$work/mnt/volume.img" > /dev/null
  end=$(date +%s.%N)
  r=$(echo "$(($(stat -c %s "$work/mnt/volume.img") >> 20)) / ($end - $start)" | bc -l)
  best=$(echo "if ($r > $best) $r else $best" | bc -l)
  fusermount3 -u "$work/mnt" || kill "$pid"
  wait "$pid" || true
done
volume=$(printf '%.0f' "$best")
echo "cat of a member: $member MiB/s; cat of the mounted volume ($layout): $volume MiB/s; ratio $(echo "scale=2; $volume / $member" | bc -l)"
