#!/bin/sh
# Makes a disk image with an MBR or GPT partition table and one NTFS partition filled to about
# USED_PERCENT with files of many sizes, some of them deleted again (their clusters free, their
# bytes left): a source for the used-space-first copy. Needs sfdisk, mkntfs and ntfs-3g (or
# ntfscp where FUSE is not usable).
# Usage: make-ntfs-disk.sh OUT.img SIZE_MB [USED_PERCENT] [dos|gpt] [LARGEST_FILE_KIB]
set -eu
out=$1 size_mb=$2 percent=${3:-30} label=${4:-dos} largest_kib=${5:-4096}
work=$(mktemp -d)
trap 'mountpoint -q "$work/mnt" 2>/dev/null && umount "$work/mnt"; rm -rf "$work"' EXIT
start=2048
part_sectors=$(( size_mb * 2048 - start - 2048 ))
truncate -s "${size_mb}M" "$out"
printf 'label: %s\nstart=%d, size=%d, type=%s\n' "$label" "$start" "$part_sectors" \
  "$( [ "$label" = gpt ] && echo EBD0A0A2-B9E5-4433-87C0-68B6B72699C7 || echo 7 )" | sfdisk -q "$out"
truncate -s $(( part_sectors * 512 )) "$work/part.img"
mkntfs -q -F -Q -s 512 -c 4096 -p "$start" -H 255 -S 63 -L used "$work/part.img" >/dev/null
target=$(( part_sectors * 512 / 100 * percent ))
mkdir "$work/files" "$work/mnt"
# Files of 4 KiB to LARGEST_FILE_KIB of random bytes, one in three deleted after the others are written.
i=0 total=0
while [ "$total" -lt $(( target * 4 / 3 )) ]; do
  kib=$(( (i * 7919 % (largest_kib / 4)) * 4 + 4 ))
  head -c $(( kib * 1024 )) /dev/urandom > "$work/files/f$i.bin"
  total=$(( total + kib * 1024 )) i=$(( i + 1 ))
done
if ntfs-3g "$work/part.img" "$work/mnt" 2>/dev/null; then
  mkdir -p "$work/mnt/dir"
  cp "$work"/files/* "$work/mnt/dir/"
  n=0; for f in "$work"/mnt/dir/*; do n=$((n+1)); [ $((n % 3)) -eq 0 ] && rm "$f"; done
  umount "$work/mnt"
else
  n=0; for f in "$work"/files/*; do n=$((n+1)); [ $((n % 3)) -eq 0 ] || ntfscp -q -f "$work/part.img" "$f" "$(basename "$f")"; done
fi
dd if="$work/part.img" of="$out" bs=1M seek=$(( start / 2048 )) conv=notrunc status=none
