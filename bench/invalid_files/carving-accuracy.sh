#!/usr/bin/env bash
# How well the Damaged criterion tells carvings apart: real files are written to a FAT32 and an
# NTFS image, two in three are deleted, new files take free clusters, and half of the deleted
# files get other data (up to 16 KiB) written over their clusters at 40 % of their length, as a
# later file would. photorec carves the images, and each carving is compared with the originals:
# equal (intact), an original followed by other data (tail), or starting like an original but
# neither (damaged). brenvik-cli --damaged then lists them.
#   carving-accuracy.sh <work folder> <folder of real files> [brenvik-cli]
# Needs root (FUSE mount), photorec (testdisk), mkfs.fat (dosfstools), mtools, mkntfs and ntfs-3g.
set -euo pipefail
export LC_ALL=C  # the same file order in the shell's globs and in python's sorted()
work=$1
originals=$(cd "$2" && pwd)
cli=${3:-$(dirname "$0")/../../build/cli/brenvik-cli}
mkdir -p "$work"
work=$(cd "$work" && pwd)
mnt="$work/mnt"
mkdir -p "$mnt"

# Writes other data over the clusters of every other deleted original, found in the image by
# their contents (a fresh file system stores them whole and in order).
overwrite_deleted() {
  python3 - "$1" "$originals" <<'PY'
import os, sys
image_path, originals = sys.argv[1:3]
image = bytearray(open(image_path, 'rb').read())
spoilt = 0
for n, name in enumerate(sorted(os.listdir(originals)), start=1):
    if n % 3 == 0 or n % 2 == 0:   # kept files (n % 3 == 0) and every other deleted one stay whole
        continue
    data = open(os.path.join(originals, name), 'rb').read()
    at = len(data) * 2 // 5 // 512 * 512
    probe = data[at:at + 4096]
    where = image.find(probe)
    if len(probe) < 512 or where < 0 or image.find(probe, where + 1) >= 0:
        continue
    length = min(16384, (len(data) - at) // 2)  # some of the original stays after it
    image[where:where + length] = os.urandom(length)
    spoilt += 1
open(image_path, 'r+b').write(image)
print('%s: %d deleted files overwritten in the middle' % (os.path.basename(image_path), spoilt))
PY
}

for kind in fat ntfs; do
  image="$work/$kind.img"
  rm -f "$image"
  truncate -s 192M "$image"
  # FAT through mtools (no kernel driver needed), NTFS through ntfs-3g (FUSE).
  if [ "$kind" = fat ]; then
    mkfs.fat -F 32 "$image" > /dev/null
    put() { mcopy -o -i "$image" "$1" "::/$2"; }
    del() { mdel -i "$image" "::/$1"; }
  else
    mkntfs -F -Q "$image" > /dev/null 2>&1
    ntfs-3g "$image" "$mnt"
    put() { cp "$1" "$mnt/$2"; }
    del() { rm "$mnt/$1"; }
  fi
  n=0
  for f in "$originals"/*; do put "$f" "$(basename "$f")"; done
  # Delete two files in three; then new files of other data take some of the clusters they held.
  for f in "$originals"/*; do
    n=$((n + 1))
    [ $((n % 3)) -ne 0 ] && del "$(basename "$f")"
  done
  for i in $(seq 1 30); do
    head -c $(( (i * 37 % 9 + 1) * 49152 )) /dev/urandom > "$work/filler.bin"
    put "$work/filler.bin" "filler$i.bin"
  done
  sync
  if [ "$kind" = ntfs ]; then umount "$mnt"; fi
  overwrite_deleted "$image"
  rm -rf "$work/carved-$kind"
  mkdir -p "$work/carved-$kind"
  (cd "$work" && photorec /log /d "$work/carved-$kind/f" /cmd "$image" partition_none,options,paranoid_no,wholespace,search > /dev/null 2>&1) || true  # its log goes to the work folder
done

python3 - "$work" "$originals" "$cli" <<'PY'
import hashlib, os, subprocess, sys
work, originals, cli = sys.argv[1:4]
whole = {}
for name in os.listdir(originals):
    data = open(os.path.join(originals, name), 'rb').read()
    whole[name] = data
by_start = {}
for name, data in whole.items():
    by_start.setdefault(data[:64], []).append(data)
truth = {}
for folder, _, files in os.walk(work):
    if '/carved-' not in folder + '/' or not files: continue
    for f in files:
        if f in ('report.xml',): continue
        path = os.path.join(folder, f)
        data = open(path, 'rb').read()
        candidates = by_start.get(data[:64], [])
        if not candidates: truth[path] = 'other'; continue
        if any(data == c for c in candidates): truth[path] = 'intact'
        elif any(len(data) > len(c) and data.startswith(c) for c in candidates): truth[path] = 'tail'
        else: truth[path] = 'damaged'
listed = {}
for kind in ('fat', 'ntfs'):
    root = os.path.join(work, 'carved-' + kind)
    if not os.path.isdir(root): continue
    out = subprocess.run([cli, 'invalid-files', root, '--damaged', '--cache-mode', 'list',
                          '--temporary-path', os.path.join(work, 'tmp')] + sum([['--uncheck-name-rule', str(i)] for i in range(1, 10)], []),
                         capture_output=True, text=True).stdout
    for line in out.splitlines():
        cells = line.split('\t')
        if len(cells) >= 4: listed[cells[3]] = (cells[2], cells[4] if len(cells) > 4 else '')
count = lambda what: sum(1 for v in truth.values() if v == what)
print('carvings: %d (intact %d, tail %d, damaged %d, not from an original %d)' % (
    len(truth), count('intact'), count('tail'), count('damaged'), count('other')))
for what in ('damaged', 'tail', 'intact', 'other'):
    paths = [p for p, v in truth.items() if v == what]
    as_damaged = sum(1 for p in paths if listed.get(p, ('',))[0] == 'damaged')
    as_tail = sum(1 for p in paths if listed.get(p, ('',))[0] == 'tail')
    print('%-8s in set %4d: listed damaged %4d, listed tail %4d' % (what, len(paths), as_damaged, as_tail))
for p, v in sorted(truth.items()):
    got = listed.get(p, ('-', ''))
    if (v == 'damaged') != (got[0] == 'damaged') or (v == 'tail') != (got[0] == 'tail'):
        print('  %-7s listed %-7s %s %s' % (v, got[0], os.path.relpath(p, work), got[1]))
PY
