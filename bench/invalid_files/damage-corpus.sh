#!/usr/bin/env bash
# Makes a tree of real files for the Damaged benchmark and the carving test: pictures from
# ImageMagick, archives from zip and gzip, documents from LibreOffice, a tone from lame, each whole,
# and a third of them spoilt as carving spoils files (cut short, overwritten, run on past the end).
#   damage-corpus.sh <root> [scale=1]
set -euo pipefail
root=$1
scale=${2:-1}
data=$(cd "$(dirname "$0")/../../tests/data" && pwd)
im=/usr/bin/convert
mkdir -p "$root/whole" "$root/spoilt"
cd "$root/whole"

words="sector cluster carving journal folder partition volume header recovered files table index"
text() {  # text <lines> <seed>
  awk -v n="$1" -v s="$2" -v w="$words" 'BEGIN { srand(s); k = split(w, a, " ");
    for (i = 0; i < n; i++) { l = ""; for (j = 0; j < 12; j++) l = l a[int(rand() * k) + 1] " "; print l } }'
}

for i in $(seq 1 $((8 * scale))); do
  $im -size 600x400 plasma:fractal -seed "$i" -resize 400% -quality 90 "photo$i.jpg"
  [ $((i % 2)) -eq 0 ] && $im "photo$i.jpg" -interlace JPEG "progressive$i.jpg"
  [ $((i % 2)) -eq 1 ] && $im "photo$i.jpg" -resize 50% "picture$i.png"
  [ $((i % 4)) -eq 0 ] && $im "photo$i.jpg" -resize 25% "picture$i.gif" && $im "photo$i.jpg" -resize 25% "picture$i.bmp"
  text 20000 "$i" > "notes$i.txt"
  gzip -c "notes$i.txt" > "notes$i.txt.gz"
  zip -q "archive$i.zip" "notes$i.txt" "picture$i.png" 2> /dev/null || zip -q "archive$i.zip" "notes$i.txt"
done
soffice --headless --convert-to pdf notes1.txt notes2.txt > /dev/null 2>&1 || true
soffice --headless --convert-to docx notes3.txt > /dev/null 2>&1 || true
soffice --headless --convert-to odt notes4.txt > /dev/null 2>&1 || true
cp "$data"/extension/*.doc "$data"/extension/*.xls "$data"/extension/*.ppt "$data"/extension/*.pptx . 
awk 'BEGIN { for (i = 0; i < 22050 * 30; i++) printf "%c%c", 0, int(100 * sin(i / 7)) % 256 }' > tone.raw
lame --quiet -r -s 22.05 --bitwidth 16 -m m --signed --little-endian -b 64 tone.raw tone.mp3 && rm tone.raw

# A third spoilt: cut at 60 %, 32 KiB overwritten at 40 %, or 20 KiB of other data after the end.
n=0
for f in *; do
  n=$((n + 1))
  size=$(stat -c %s "$f")
  case $((n % 9)) in
    0) head -c $((size * 3 / 5)) "$f" > "../spoilt/cut-$f" ;;
    3) cp "$f" "../spoilt/overwritten-$f"
       head -c 32768 /dev/urandom | dd of="../spoilt/overwritten-$f" bs=1 seek=$((size * 2 / 5)) conv=notrunc status=none ;;
    6) { cat "$f"; head -c 20480 /dev/urandom; } > "../spoilt/tail-$f" ;;
  esac
done
du -sh "$root"
