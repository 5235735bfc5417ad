#!/usr/bin/env bash
# How many carvings Extension types right, against `file --mime-type` on the same carvings: real
# files of the types a recovery brings back are written by the real programs, carved with photorec
# from a FAT32 and an NTFS image (the carving benchmark of Invalid Files does that part), and each
# carving that starts like an original is judged:
#   Extension is right when it gives the carving the type it gives the original, and the original's
#   own name fits that type; `file` is right when it gives the carving the original's MIME type.
# A correct name is one photorec gave that fits the original; it is broken when Extension lists
# another type for it.
#   carved-typing.sh <work folder> [brenvik-cli]
# Needs what carving-accuracy.sh needs, and gzip, xz, bzip2, zstd, tar, 7z, sqlite3, ffmpeg, flac,
# ImageMagick, LibreOffice and file.
set -euo pipefail
export LC_ALL=C
here=$(cd "$(dirname "$0")" && pwd)
work=$1
cli=${2:-$here/../../build/cli/brenvik-cli}
mkdir -p "$work/originals"
work=$(cd "$work" && pwd)
originals="$work/originals"
data=$(cd "$here/../../tests/data" && pwd)

# The originals: a few of every type, each written by its own program.
make_originals() {
  cd "$originals"
  local words="sector cluster carving journal folder partition volume header recovered files table"
  for i in 1 2 3; do
    awk -v n=$((3000 * i)) -v s=$i -v w="$words" 'BEGIN { srand(s); k = split(w, a, " ");
      for (j = 0; j < n; j++) { printf "%s%s", a[int(rand() * k) + 1], (j % 12 == 11 ? "\n" : " ") } }' > "notes$i.txt"
    gzip -c "notes$i.txt" > "notes$i.txt.gz"
    xz -c "notes$i.txt" > "notes$i.txt.xz"
    bzip2 -c "notes$i.txt" > "notes$i.txt.bz2"
    zstd -q -c "notes$i.txt" > "notes$i.txt.zst"
    tar cf "notes$i.tar" "notes$i.txt"
    7z a -bd -y "notes$i.7z" "notes$i.txt" > /dev/null
    sqlite3 "table$i.sqlite" "create table t(a); insert into t select '$words' from (select 1 union select 2);"
    ffmpeg -v error -f lavfi -i "sine=frequency=$((300 * i)):duration=4" -ac 1 -y "tone$i.flac"
    ffmpeg -v error -f lavfi -i "sine=frequency=$((300 * i)):duration=4" -ac 1 -c:a libvorbis -y "tone$i.ogg"
    ffmpeg -v error -f lavfi -i "sine=frequency=$((300 * i)):duration=4" -ac 1 -c:a libopus -y "tone$i.opus"
    ffmpeg -v error -f lavfi -i "sine=frequency=$((300 * i)):duration=4" -ac 1 -c:a aac -y "tone$i.m4a"
    ffmpeg -v error -f lavfi -i "testsrc=s=160x120:d=2" -c:v libvpx -y "clip$i.webm"
    ffmpeg -v error -f lavfi -i "testsrc=s=160x120:d=2" -c:v mpeg4 -y "clip$i.mkv"
    convert -size 320x240 "plasma:fractal" -seed $i "picture$i.webp" 2> /dev/null || true
    printf '<?xml version="1.0"?>\n<catalog>\n%s</catalog>\n' "$(sed 's/.*/  <line>&<\/line>/' "notes$i.txt" | head -200)" > "catalog$i.xml"
    printf '<!DOCTYPE html>\n<html><body>\n%s</body></html>\n' "$(head -200 "notes$i.txt")" > "page$i.html"
    python3 -c "import json,sys; print(json.dumps({'lines': open(sys.argv[1]).read().split('\n')}))" "notes$i.txt" > "lines$i.json"
  done
  cp "$data"/extension/further/sector.o "$data"/extension/further/letter.eml .
  cp /usr/bin/true program.elf
  soffice --headless --convert-to pdf notes1.txt > /dev/null 2>&1 || true
  soffice --headless --convert-to docx notes2.txt > /dev/null 2>&1 || true
  cd - > /dev/null
}

[ -n "$(ls -A "$originals")" ] || make_originals
"$here/../invalid_files/carving-accuracy.sh" "$work/carving" "$originals" "$cli" > "$work/carving.log"

python3 - "$work" "$originals" "$cli" <<'PY'
import json, os, shutil, subprocess, sys
work, originals, cli = sys.argv[1:4]

def extension_types(folder):
    out = subprocess.run([cli, 'extension', folder, '--json', '--cache-mode', 'list', '--temporary-path',
                          os.path.join(work, 'tmp')], capture_output=True, text=True).stdout
    return {json.loads(l)['path']: json.loads(l)['type'] for l in out.splitlines() if l.startswith('{')}

def mime(path):
    return subprocess.run(['file', '--brief', '--mime-type', path], capture_output=True, text=True).stdout.strip()

def ext(name):
    return name.rsplit('.', 1)[1].lower() if '.' in name[1:] else ''

# The originals under their own names, and without a name (what their content alone gives).
bare = os.path.join(work, 'bare')
shutil.rmtree(bare, ignore_errors=True)
os.makedirs(bare)
start = {}
for name in sorted(os.listdir(originals)):
    data = open(os.path.join(originals, name), 'rb').read()
    if len(data) < 64: continue
    start.setdefault(data[:64], name)
    shutil.copy(os.path.join(originals, name), os.path.join(bare, name.replace('.', '_')))
own = {os.path.basename(p): t for p, t in extension_types(originals).items()}
content = {os.path.basename(p).replace('_', '.'): t for p, t in extension_types(bare).items()}
original_mime = {n: mime(os.path.join(originals, n)) for n in start.values()}

carvings = []
for kind in ('fat', 'ntfs'):
    root = os.path.join(work, 'carving', 'carved-' + kind)
    for folder, _, files in os.walk(root):
        for f in files:
            if f == 'report.xml': continue
            path = os.path.join(folder, f)
            head = open(path, 'rb').read(64)
            if head in start: carvings.append((path, start[head]))
flat = os.path.join(work, 'flat')
shutil.rmtree(flat, ignore_errors=True)
os.makedirs(flat)
for n, (path, _) in enumerate(carvings):
    shutil.copy(path, os.path.join(flat, 'c%05d' % n))
typed = {os.path.basename(p): t for p, t in extension_types(flat).items()}
named = {}
for kind in ('fat', 'ntfs'):
    named.update(extension_types(os.path.join(work, 'carving', 'carved-' + kind)))

rows = {}
broken = []
for n, (path, original) in enumerate(carvings):
    key = ext(original) or original
    row = rows.setdefault(key, [0, 0, 0])
    row[0] += 1
    fits = own.get(original) == ext(original)  # the original's own name fits its content
    if fits and typed.get('c%05d' % n) == content.get(original): row[1] += 1
    if mime(path) == original_mime[original]: row[2] += 1
    photorec = ext(os.path.basename(path))
    if photorec == ext(original) and named.get(path, photorec) != photorec: broken.append((path, original, named[path]))

print('%-8s %9s %10s %6s' % ('type', 'carvings', 'Extension', 'file'))
total = [0, 0, 0]
for key in sorted(rows):
    c, e, f = rows[key]
    total = [a + b for a, b in zip(total, rows[key])]
    print('%-8s %9d %10d %6d' % (key, c, e, f))
print('%-8s %9d %9.1f%% %5.1f%%' % ('all', total[0], 100 * total[1] / max(1, total[0]), 100 * total[2] / max(1, total[0])))
print('correct names broken: %d' % len(broken))
for path, original, got in broken: print('  %s (%s) listed %s' % (os.path.relpath(path, work), original, got))
PY
