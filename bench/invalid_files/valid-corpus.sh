#!/usr/bin/env bash
# Makes a corpus of VALID files for measuring the Damaged check: every file in it is whole, so every
# "damaged" or "tail" verdict on it is a false one. Files come from Debian packages and from the
# programs that really write each type, in the modes people use; each is tested with its format's own
# tool where that is cheap, and dropped (listed in <root>/dropped.tsv) when that tool rejects it.
# Layout: <root>/<writer>/<type>/<mode>-<n>.<ext>, so verdicts are counted per writer and type.
#
#   valid-corpus.sh <root> [scale=1]   the full corpus, over 20,000 files at scale 1; installs the
#                                      Debian packages it needs (as root, or through sudo)
#   valid-corpus.sh --sample <root>    a few hundred files, only from the tools that
#                                      scripts/install-deps.sh installs; installs nothing
#
# valid-corpus-run.sh counts the verdicts. <root> is emptied first, so give it a folder of its own.
set -uo pipefail

sample=0
if [ "${1:-}" = "--sample" ]; then sample=1; shift; fi
if [ $# -lt 1 ]; then
  sed -n '2,13p' "$0" | sed 's/^# \{0,1\}//' >&2
  exit 2
fi
root=$1
scale=${2:-1}
case $scale in '' | *[!0-9]* | 0) echo "scale must be a whole number from 1" >&2; exit 2 ;; esac
[ $sample -eq 1 ] && scale=1
here=$(cd "$(dirname "$0")" && pwd)
data=$(cd "$here/../../tests/data" && pwd)
IM=/usr/bin/convert  # ImageMagick itself: a convert earlier in PATH may be something else

case $root in /|'') echo "refusing to empty $root" >&2; exit 2 ;; esac
rm -rf "$root"
mkdir -p "$root"
root=$(cd "$root" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
log=$root/corpus.log
: > "$log"
: > "$root/dropped.tsv"
note() { echo "$*" | tee -a "$log" >&2; }
q() { "$@" >> "$log" 2>&1; }
# The sample is the same on every machine: it uses only what scripts/install-deps.sh installs.
sample_tools=" cjpeg djpeg jpegtran lame flac qpdf zip unzip gzip python3 "
have() {
  [ $sample -eq 1 ] && [[ $sample_tools != *" $1 "* ]] && return 1
  command -v "$1" > /dev/null 2>&1
}

# count N: N at scale 1, times the scale; the sample keeps a small fixed share.
count() {
  if [ $sample -eq 1 ]; then echo $(( $1 / 20 > 2 ? ($1 / 20 < 6 ? $1 / 20 : 6) : 2 )); else echo $(( $1 * scale )); fi
}

# need PACKAGE...: installs the missing ones (not for the sample, which uses what is there).
need() {
  local missing=() p sudo=""
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2> /dev/null | grep -q "ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  [ $sample -eq 1 ] && return 0
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  if ! DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}" >> "$log" 2>&1; then
    for p in "${missing[@]}"; do  # one that Debian lacks must not keep the others out
      DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "$p" >> "$log" 2>&1 ||
        note "package $p could not be installed"
    done
  fi
}

out() { mkdir -p "$root/$1/$2" && echo "$root/$1/$2"; }
section() { note "$(date +%T) $*"; }

words="sector cluster carving journal folder partition volume header recovered files table index
 Wiederherstellung Datenträger Sektor récupération fichier 数据 恢复 分区 文件 données Ordner"
text() {  # text <lines> <seed>: lines of words, some in other languages
  awk -v n="$1" -v s="$2" -v w="$words" 'BEGIN { srand(s); k = split(w, a, " ");
    for (i = 0; i < n; i++) { l = ""; m = 4 + int(rand() * 14);
      for (j = 0; j < m; j++) l = l a[int(rand() * k) + 1] " "; print l } }'
}

# ---------------------------------------------------------------------------------------------------
if [ $sample -eq 0 ]; then
  section "installing what is missing"
  need imagemagick libjpeg-turbo-progs lame ffmpeg flac mpg123 qpdf ghostscript texlive-latex-base \
    p7zip-full zip unzip gzip pigz libarchive-tools librsvg2-bin libimage-exiftool-perl pngcheck gifsicle \
    libspreadsheet-writeexcel-perl libole-storage-lite-perl python3-olefile python3-pip python3-wheel \
    python3-setuptools groff libreoffice-writer-nogui libreoffice-calc-nogui libreoffice-impress-nogui
  # Sources of files written elsewhere: pictures, icons, documentation, Java archives, wheels.
  need desktop-base adwaita-icon-theme hicolor-icon-theme tango-icon-theme oxygen-icon-theme \
    breeze-icon-theme libtasn1-doc shared-mime-info texlive-latex-recommended-doc \
    texlive-fonts-recommended-doc python-reportlab-doc ruby-prawn-doc camlidl-doc \
    python3-pip-whl python3-setuptools-whl python3-wheel-whl libcommons-lang3-java libcommons-io-java \
    libcommons-collections3-java libcommons-compress-java libcommons-codec-java
fi

# ---------------------------------------------------------------------------------------------------
section "pictures to start from"
nbase=$(count 160)
mkdir -p "$work/base"
for i in $(seq 1 "$nbase"); do
  w=$((48 + (i * 37) % 600)) h=$((32 + (i * 53) % 440))
  case $((i % 25)) in 0) w=1 h=1 ;; 12) w=3 h=2 ;; 24) w=17 h=9 ;; esac
  case $((i % 4)) in
    0 | 1) q $IM -size "${w}x$h" -seed "$i" plasma:fractal "$work/base/$i.ppm" ;;
    2) q $IM -size "${w}x$h" gradient:"rgb($((i * 7 % 256)),40,90)-rgb(250,$((i * 13 % 256)),20)" -swirl $((i * 11 % 180)) "$work/base/$i.ppm" ;;
    3) q $IM -size "${w}x$h" pattern:checkerboard -fill "rgb($((i * 29 % 256)),120,60)" -draw "circle $((w / 2)),$((h / 2)) $((w / 3)),$((h / 3))" "$work/base/$i.ppm" ;;
  esac
done
base() { echo "$work/base/$1.ppm"; }

# --- JPEG ------------------------------------------------------------------------------------------
if have cjpeg; then
  section "jpeg: cjpeg and jpegtran"
  d=$(out cjpeg jpeg)
  for i in $(seq 1 "$nbase"); do
    b=$(base "$i")
    [ -f "$b" ] || continue
    cjpeg -quality $((30 + i * 7 % 70)) -outfile "$d/baseline-$i.jpg" "$b"
    cjpeg -progressive -outfile "$d/progressive-$i.jpg" "$b"
    cjpeg -arithmetic -outfile "$d/arithmetic-$i.jpg" "$b"
    cjpeg -optimize -outfile "$d/optimize-$i.jpg" "$b"
    cjpeg -restart $((1 + i % 4)) -outfile "$d/restart-$i.jpg" "$b"
    cjpeg -restart $((1 + i % 7))B -outfile "$d/restartb-$i.jpg" "$b"
    cjpeg -grayscale -outfile "$d/grayscale-$i.jpg" "$b"
    cjpeg -sample 1x1 -dct float -smooth $((i % 50)) -outfile "$d/sample444-$i.jpg" "$b"
    cjpeg -progressive -arithmetic -outfile "$d/progressive-arithmetic-$i.jpg" "$b"
  done 2>> "$log"
  # The libjpeg-turbo of this Debian has neither 12-bit nor lossless in cjpeg.
  cjpeg -help 2>&1 | grep -q -- "-precision" && for i in $(seq 1 "$nbase"); do
    cjpeg -precision 12 -outfile "$d/precision12-$i.jpg" "$(base "$i")"
  done 2>> "$log"
  cjpeg -help 2>&1 | grep -q -- "-lossless" && for i in $(seq 1 "$nbase"); do
    cjpeg -lossless $((1 + i % 7)) -outfile "$d/lossless-$i.jpg" "$(base "$i")"
  done 2>> "$log"

  # As many scans as the tools allow (100): the DC of each component alone, then every luma
  # coefficient alone, then the chroma coefficients four at a time.
  {
    echo "0: 0 0 0 0;"; echo "1: 0 0 0 0;"; echo "2: 0 0 0 0;"
    for k in $(seq 1 63); do echo "0: $k $k 0 0;"; done
    for c in 1 2; do for k in $(seq 1 4 61); do echo "$c: $k $((k + 3 > 63 ? 63 : k + 3)) 0 0;"; done; done
  } > "$work/many.scans"
  t=$(out jpegtran jpeg)
  for f in "$d"/baseline-*.jpg; do
    n=${f##*-}
    jpegtran -progressive -outfile "$t/progressive-$n" "$f"
    jpegtran -optimize -copy all -outfile "$t/optimize-$n" "$f"
    jpegtran -arithmetic -outfile "$t/arithmetic-$n" "$f"
    jpegtran -rotate 90 -trim -outfile "$t/rotate-$n" "$f"
    jpegtran -flip horizontal -outfile "$t/flip-$n" "$f"
    jpegtran -crop 32x24+8+8 -outfile "$t/crop-$n" "$f"
    jpegtran -restart 2 -outfile "$t/restart-$n" "$f"
    jpegtran -grayscale -progressive -outfile "$t/grayscale-$n" "$f"
    jpegtran -scans "$work/many.scans" -outfile "$t/many-scans-$n" "$f"
  done 2>> "$log"
fi

section "jpeg: ImageMagick, ffmpeg, exiftool"
d=$(out imagemagick jpeg)
icc=$(ls /usr/share/color/icc/ghostscript/srgb.icc 2> /dev/null || true)
for i in $(seq 1 "$nbase"); do
  b=$(base "$i")
  [ -f "$b" ] || continue
  q $IM "$b" -quality $((40 + i % 60)) "$d/baseline-$i.jpg"
  q $IM "$b" -interlace JPEG "$d/progressive-$i.jpg"
  q $IM "$b" -sampling-factor 4:4:4 -set comment "recovered picture $i" "$d/sampling444-$i.jpg"
  [ $((i % 3)) -eq 0 ] && q $IM "$b" -colorspace CMYK "$d/cmyk-$i.jpg"
  [ $((i % 3)) -eq 1 ] && [ -n "$icc" ] && q $IM "$b" -profile "$icc" "$d/icc-$i.jpg"
done
if have exiftool; then
  # Camera-like files: EXIF with a JPEG thumbnail inside the first JPEG.
  e=$(out exiftool jpeg)
  for f in "$d"/baseline-*.jpg; do
    n=${f##*-}
    q $IM "$f" -thumbnail 160x120 "$work/thumb.jpg" || continue
    cp "$f" "$e/exif-thumbnail-$n"
    q exiftool -q -overwrite_original -Make=Brenvik -Model="Recovery $n" -DateTimeOriginal="2020:01:02 03:04:05" \
      -XMP:Description="recovered" "-ThumbnailImage<=$work/thumb.jpg" "$e/exif-thumbnail-$n"
  done
fi
if have ffmpeg; then
  d=$(out ffmpeg jpeg)
  for i in $(seq 1 $(( nbase / 3 ))); do
    b=$(base "$i")
    [ -f "$b" ] || continue
    q ffmpeg -v error -y -i "$b" -q:v $((2 + i % 20)) "$d/mjpeg-$i.jpg"
    q ffmpeg -v error -y -i "$b" -c:v ljpeg -pix_fmt bgr24 -strict -1 "$d/lossless-$i.jpg"
  done
fi

# --- PNG -------------------------------------------------------------------------------------------
section "png"
d=$(out imagemagick png)
for i in $(seq 1 "$nbase"); do
  b=$(base "$i")
  [ -f "$b" ] || continue
  q $IM "$b" "PNG8:$d/png8-$i.png"
  q $IM "$b" "PNG24:$d/png24-$i.png"
  q $IM "$b" -alpha set -channel A -evaluate set 60% +channel "PNG32:$d/png32-$i.png"
  q $IM "$b" -depth 16 "PNG48:$d/png48-$i.png"
  q $IM "$b" -colorspace Gray "$d/gray-$i.png"
  q $IM "$b" -interlace PNG "$d/interlaced-$i.png"
  q $IM "$b" -define png:compression-level=$((i % 10)) -set comment "picture $i" "$d/level-$i.png"
  [ $((i % 2)) -eq 0 ] && q $IM "$b" -monochrome "$d/bilevel-$i.png"
done
if have ffmpeg; then
  d=$(out ffmpeg png)
  for i in $(seq 1 $(( nbase / 4 ))); do
    q ffmpeg -v error -y -f lavfi -i "testsrc=size=$((40 + i))x$((30 + i)):rate=5:duration=1" -plays 0 -f apng "$d/apng-$i.png"
    q ffmpeg -v error -y -i "$(base "$i")" -pix_fmt rgb48be "$d/rgb48-$i.png"
  done
fi
if have rsvg-convert; then
  d=$(out rsvg-cairo png)
  p=$(out rsvg-cairo pdf)
  n=0
  while IFS= read -r svg; do
    n=$((n + 1))
    q rsvg-convert -f png -o "$d/icon-$n.png" "$svg"
    q rsvg-convert -f pdf -o "$p/icon-$n.pdf" "$svg"
  done < <(find /usr/share/icons -name '*.svg' -type f 2> /dev/null | sort | awk -v m="$(count 300)" 'NR % 7 == 1 && c++ < m')
fi

# --- GIF -------------------------------------------------------------------------------------------
section "gif"
d=$(out imagemagick gif)
for i in $(seq 1 "$nbase"); do
  b=$(base "$i")
  [ -f "$b" ] || continue
  q $IM "$b" "$d/static-$i.gif"
  q $IM "$b" "GIF87:$d/gif87-$i.gif"
  q $IM "$b" -interlace GIF -colors $((2 + i % 60)) "$d/interlaced-$i.gif"
  q $IM "$b" -fuzz 20% -transparent "rgb(250,250,250)" "$d/transparent-$i.gif"
  j=$((i % nbase + 1)) k=$(((i + 1) % nbase + 1))
  q $IM -delay $((5 + i % 30)) "$b" "$(base "$j")" "$(base "$k")" -resize 96x72! -loop 0 -layers Optimize "$d/animated-$i.gif"
done
if have gifsicle; then
  g=$(out gifsicle gif)
  for f in "$d"/animated-*.gif; do
    n=${f##*-}
    q gifsicle -O3 "$f" -o "$g/optimized-$n"
    q gifsicle --colors 16 --interlace "$f" -o "$g/colors16-$n"
    q gifsicle --crop 10,10+40x30 "$f" -o "$g/crop-$n"
  done
fi
if have ffmpeg; then
  d=$(out ffmpeg gif)
  for i in $(seq 1 $(( nbase / 4 ))); do
    q ffmpeg -v error -y -f lavfi -i "testsrc=size=$((40 + i))x$((30 + i)):rate=4:duration=1" "$d/testsrc-$i.gif"
  done
fi

# --- BMP -------------------------------------------------------------------------------------------
section "bmp"
d=$(out imagemagick bmp)
for i in $(seq 1 "$nbase"); do
  b=$(base "$i")
  [ -f "$b" ] || continue
  q $IM "$b" "BMP2:$d/bmp2-$i.bmp"
  q $IM "$b" "BMP3:$d/bmp3-$i.bmp"
  q $IM "$b" "BMP:$d/bmp4-$i.bmp"  # BMP writes the version 4/5 header
  q $IM "$b" -alpha set "BMP:$d/alpha-$i.bmp"
  q $IM "$b" -type Palette "BMP3:$d/palette8-$i.bmp"
  q $IM "$b" -type Palette -compress RLE "BMP3:$d/rle8-$i.bmp"
  q $IM "$b" -colors 16 -type Palette "BMP3:$d/palette4-$i.bmp"
  q $IM "$b" -type Bilevel "BMP3:$d/bilevel-$i.bmp"
  q $IM "$b" -define bmp:subtype=RGB565 "BMP:$d/rgb565-$i.bmp"
done
if have ffmpeg; then
  d=$(out ffmpeg bmp)
  for i in $(seq 1 $(( nbase / 6 ))); do
    for fmt in bgra bgr24 rgb565le rgb555le rgb444le bgr8 rgb4_byte gray pal8 monob; do
      q ffmpeg -v error -y -i "$(base "$i")" -pix_fmt $fmt "$d/$fmt-$i.bmp"
    done
  done
fi

# --- PDF -------------------------------------------------------------------------------------------
if have pdflatex; then
  section "pdf: pdfTeX"
  d=$(out pdftex pdf)
  mkdir -p "$work/tex"
  for i in $(seq 1 "$(count 40)"); do
    b=$(base "$i")
    [ -f "$b" ] && q $IM "$b" "$work/tex/figure.png"
    for mode in classic objstm; do
      {
        [ $mode = classic ] && echo '\pdfobjcompresslevel=0 \pdfcompresslevel=0 \pdfminorversion=4'
        [ $mode = objstm ] && echo '\pdfobjcompresslevel=2 \pdfminorversion=5'
        echo '\documentclass{article}\usepackage{graphicx}\usepackage{amsmath}'
        echo "\\title{Recovered volume report $i}\\author{Brenvik}\\begin{document}\\maketitle"
        for s in 1 2 3; do
          echo "\\section{Partition $s}"
          text $((5 + i % 20)) "$i$s" | LC_ALL=C sed 's/[^a-zA-Z ]//g'
          echo '\begin{equation} S = \sum_{k=1}^{n} \frac{c_k}{2^{k}} \end{equation}'
        done
        echo '\begin{tabular}{|l|r|}\hline sector & size \\ \hline'
        echo "$i & $((i * 512)) \\\\ \\hline\\end{tabular}"
        [ -f "$work/tex/figure.png" ] && echo '\includegraphics[width=0.5\textwidth]{figure.png}'
        echo '\end{document}'
      } > "$work/tex/paper.tex"
      (cd "$work/tex" && q pdflatex -interaction=batchmode paper.tex) && cp "$work/tex/paper.pdf" "$d/$mode-$i.pdf"
    done
    rm -f "$work/tex/figure.png"
  done
fi
if have ps2pdf && have groff; then
  section "pdf: Ghostscript"
  d=$(out ghostscript pdf)
  n=0
  while IFS= read -r page; do
    n=$((n + 1))
    zcat "$page" 2> /dev/null | groff -man -Tps 2> /dev/null > "$work/page.ps" || continue
    case $((n % 3)) in
      0) q ps2pdf "$work/page.ps" "$d/ps2pdf-$n.pdf" ;;
      1) q ps2pdf -dCompatibilityLevel=1.4 "$work/page.ps" "$d/ps2pdf14-$n.pdf" ;;
      2) q ps2pdf -dPDFSETTINGS=/prepress "$work/page.ps" "$d/prepress-$n.pdf" ;;
    esac
  done < <(find /usr/share/man/man1 -name '*.1.gz' -size -12k | sort | awk -v m="$(count 45)" 'NR % 5 == 0 && c++ < m')
  for f in "$root"/pdftex/pdf/objstm-*.pdf; do
    [ -f "$f" ] || continue
    n=${f##*-}
    [ $((${n%.pdf} % 3)) -eq 0 ] && q gs -q -dNOPAUSE -dBATCH -sDEVICE=pdfwrite -o "$d/redistilled-$n" "$f"
  done
fi

# --- documents from LibreOffice ---------------------------------------------------------------------
if have soffice && [ $sample -eq 0 ]; then
  section "LibreOffice sources"
  mkdir -p "$work/lo/text" "$work/lo/sheet" "$work/lo/slides"
  ns=$(count 30)
  for i in $(seq 1 "$ns"); do
    {
      echo '<?xml version="1.0" encoding="UTF-8"?>'
      echo '<office:document xmlns:office="urn:oasis:names:tc:opendocument:xmlns:office:1.0" xmlns:text="urn:oasis:names:tc:opendocument:xmlns:text:1.0" xmlns:table="urn:oasis:names:tc:opendocument:xmlns:table:1.0" xmlns:draw="urn:oasis:names:tc:opendocument:xmlns:drawing:1.0" xmlns:svg="urn:oasis:names:tc:opendocument:xmlns:svg-compatible:1.0" xmlns:xlink="http://www.w3.org/1999/xlink" office:version="1.3" office:mimetype="application/vnd.oasis.opendocument.text"><office:body><office:text>'
      echo "<text:h text:outline-level=\"1\">Recovery report $i</text:h>"
      text $((10 + i * 13 % 200)) "$i" | sed 's/.*/<text:p>&<\/text:p>/'
      echo '<table:table table:name="Sectors"><table:table-column table:number-columns-repeated="2"/>'
      for r in 1 2 3 4; do echo "<table:table-row><table:table-cell><text:p>sector $r</text:p></table:table-cell><table:table-cell><text:p>$((r * i))</text:p></table:table-cell></table:table-row>"; done
      echo '</table:table>'
      if [ $((i % 2)) -eq 0 ] && q $IM "$(base "$i")" "$work/lo/figure.png"; then
        echo "<text:p><draw:frame svg:width=\"4cm\" svg:height=\"3cm\"><draw:image><office:binary-data>$(base64 -w0 "$work/lo/figure.png")</office:binary-data></draw:image></draw:frame></text:p>"
      fi
      echo '</office:text></office:body></office:document>'
    } > "$work/lo/text/report-$i.fodt"
    {
      echo '<?xml version="1.0" encoding="UTF-8"?>'
      echo '<office:document xmlns:office="urn:oasis:names:tc:opendocument:xmlns:office:1.0" xmlns:text="urn:oasis:names:tc:opendocument:xmlns:text:1.0" xmlns:table="urn:oasis:names:tc:opendocument:xmlns:table:1.0" office:version="1.3" office:mimetype="application/vnd.oasis.opendocument.spreadsheet"><office:body><office:spreadsheet>'
      for s in $(seq 1 $((1 + i % 3))); do
        echo "<table:table table:name=\"Disk$s\">"
        for r in $(seq 1 $((5 + i * 7 % 120))); do
          echo "<table:table-row><table:table-cell office:value-type=\"float\" office:value=\"$((r * s * i))\"/><table:table-cell office:value-type=\"string\"><text:p>part $r</text:p></table:table-cell><table:table-cell table:formula=\"of:=[.A$r]*2\"/></table:table-row>"
        done
        echo '</table:table>'
      done
      echo '</office:spreadsheet></office:body></office:document>'
    } > "$work/lo/sheet/budget-$i.fods"
    {
      echo '<?xml version="1.0" encoding="UTF-8"?>'
      echo '<office:document xmlns:office="urn:oasis:names:tc:opendocument:xmlns:office:1.0" xmlns:text="urn:oasis:names:tc:opendocument:xmlns:text:1.0" xmlns:draw="urn:oasis:names:tc:opendocument:xmlns:drawing:1.0" xmlns:svg="urn:oasis:names:tc:opendocument:xmlns:svg-compatible:1.0" xmlns:presentation="urn:oasis:names:tc:opendocument:xmlns:presentation:1.0" office:version="1.3" office:mimetype="application/vnd.oasis.opendocument.presentation"><office:body><office:presentation>'
      for s in $(seq 1 $((2 + i % 6))); do
        echo "<draw:page draw:name=\"s$s\"><draw:frame svg:x=\"2cm\" svg:y=\"2cm\" svg:width=\"20cm\" svg:height=\"12cm\"><draw:text-box>"
        text 6 "$i$s" | sed 's/.*/<text:p>&<\/text:p>/'
        echo '</draw:text-box></draw:frame></draw:page>'
      done
      echo '</office:presentation></office:body></office:document>'
    } > "$work/lo/slides/slides-$i.fodp"
  done
  section "LibreOffice conversions"
  lo() {  # lo <kind folder> <filter> <writer type> <extension>
    local d
    d=$(out libreoffice "$3")
    q timeout 1200 soffice -env:UserInstallation="file://$work/lo/profile" --headless --convert-to "$2" --outdir "$d" "$work/lo/$1"/*
  }
  for t in odt docx doc pdf epub; do lo text "$t" "$t"; done
  for t in ods xlsx xls pdf; do lo sheet "$t" "$t"; done
  for t in odp pptx ppt pdf; do lo slides "$t" "$t"; done
fi

# --- Files the tests already hold, written by real programs (tests/data/*/README.md say how) --------------
section "files from tests/data"
for f in "$data"/damage/* "$data"/extension/* "$data"/readers/* "$data"/rename/* "$data"/variants/*; do
  case ${f##*.} in
    jpg) t=jpeg ;; png | gif | bmp | pdf | zip | jar | epub | odt | ods | odp | doc | xls | ppt | mp3) t=${f##*.} ;;
    apk) t=zip ;; docx | docm | dotx) t=docx ;; xlsx | xlsm) t=xlsx ;; pptx) t=pptx ;; dot) t=doc ;; xlt) t=xls ;;
    gz) t=gzip ;; *) continue ;;
  esac
  d=$(out repo-data "$t")
  cp "$f" "$d/$(basename "$(dirname "$f")")-$(basename "$f")"
done

# --- qpdf rewrites ----------------------------------------------------------------------------------
if have qpdf; then
  section "pdf: qpdf"
  d=$(out qpdf pdf)
  for f in "$root"/pdftex/pdf/*.pdf "$root"/libreoffice/pdf/*.pdf "$root"/repo-data/pdf/*.pdf; do
    [ -f "$f" ] || continue
    n=$(basename "$(dirname "$(dirname "$f")")")-$(basename "$f" .pdf)
    q qpdf --object-streams=generate "$f" "$d/objstm-$n.pdf"
    q qpdf --linearize "$f" "$d/linearized-$n.pdf"
    q qpdf --qdf "$f" "$d/qdf-$n.pdf"
    q qpdf --encrypt "" owner 256 -- "$f" "$d/aes256-$n.pdf"
    q qpdf --object-streams=disable --compress-streams=n "$f" "$d/uncompressed-$n.pdf"
  done
fi

# --- Zip family ---------------------------------------------------------------------------------------
section "zip"
nz=$(count 40)
for i in $(seq 1 "$nz"); do
  s=$work/zipsrc/$i
  mkdir -p "$s/docs/inner"
  text $((20 + i * 31 % 3000)) "$i" > "$s/docs/notes.txt"
  text 3 "$((i + 1000))" > "$s/docs/inner/readme.txt"
  b=$(base "$i")
  [ -f "$b" ] && q $IM "$b" "$s/picture.png" && q $IM "$b" "$s/docs/photo.jpg"
  : > "$s/docs/empty.txt"
done
if have zip; then
  d=$(out zip zip)
  for i in $(seq 1 "$nz"); do
    s=$work/zipsrc/$i
    (cd "$s" && q zip -q -r "$d/default-$i.zip" .)
    (cd "$s" && q zip -q -r -0 "$d/stored-$i.zip" .)
    (cd "$s" && q zip -q -r -9 -D "$d/best-nodirs-$i.zip" .)
    (cd "$s" && q zip -q -r -fz "$d/zip64-$i.zip" .)
    cat "$s/docs/notes.txt" | q zip -q "$d/streamed-$i.zip" -
    (cd "$s" && q zip -q -r -P secret "$d/encrypted-$i.zip" .)
    (cd "$s" && q zip -q -r -Z bzip2 "$d/bzip2-$i.zip" .)
    (cd "$s" && echo "archive $i" | q zip -q -r -z "$d/comment-$i.zip" .)
  done
fi
if have 7z && [ $sample -eq 0 ]; then
  d=$(out 7z zip)
  for i in $(seq 1 "$nz"); do
    s=$work/zipsrc/$i
    for m in Deflate Deflate64 BZip2 LZMA Copy; do (cd "$s" && q 7z a -tzip -mm=$m "$d/$m-$i.zip" .); done
    (cd "$s" && q 7z a -tzip -psecret -mem=AES256 "$d/aes256-$i.zip" .)
  done
fi
if have bsdtar && [ $sample -eq 0 ]; then
  d=$(out bsdtar zip)
  for i in $(seq 1 "$nz"); do
    (cd "$work/zipsrc/$i" && q bsdtar --format zip -cf "$d/deflate-$i.zip" . &&
      q bsdtar --format zip --options zip:compression=store -cf "$d/store-$i.zip" .)
  done
fi
d=$(out python-zipfile zip)
python3 - "$work/zipsrc" "$d" "$nz" "$sample" << 'EOF' >> "$log" 2>&1
import os, sys, zipfile
src, out, n, sample = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4] == "1"
methods = {"deflated": zipfile.ZIP_DEFLATED, "stored": zipfile.ZIP_STORED, "bzip2": zipfile.ZIP_BZIP2, "lzma": zipfile.ZIP_LZMA}
for i in range(1, n + 1):
    top = os.path.join(src, str(i))
    for name, method in methods.items():
        with zipfile.ZipFile(os.path.join(out, f"{name}-{i}.zip"), "w", method) as z:
            for folder, _, files in os.walk(top):
                for f in sorted(files):
                    path = os.path.join(folder, f)
                    z.write(path, os.path.relpath(path, top))
    with zipfile.ZipFile(os.path.join(out, f"zip64-comment-{i}.zip"), "w", zipfile.ZIP_DEFLATED) as z:
        z.comment = b"recovered archive %d" % i
        with z.open("notes.txt", "w", force_zip64=True) as w:
            w.write(open(os.path.join(top, "docs", "notes.txt"), "rb").read())
if not sample:
    # More entries than the 16-bit counts hold: the Zip64 end record carries them.
    with zipfile.ZipFile(os.path.join(out, "many-entries-1.zip"), "w", zipfile.ZIP_DEFLATED) as z:
        for k in range(70000):
            z.writestr(f"d{k // 1000:03d}/{k:06d}.txt", b"%d\n" % k)
EOF
if [ $sample -eq 0 ] && /usr/bin/python3 -c "import setuptools, wheel" 2> /dev/null; then
  section "wheels"
  d=$(out pip whl)
  for i in $(seq 1 "$(count 20)"); do
    p=$work/wheel/p$i
    mkdir -p "$p/recovered$i"
    printf '[build-system]\nrequires = ["setuptools"]\nbuild-backend = "setuptools.build_meta"\n[project]\nname = "recovered%s"\nversion = "1.%s"\n' "$i" "$i" > "$p/pyproject.toml"
    text $((5 + i * 17 % 400)) "$i" | sed 's/.*/# &/' > "$p/recovered$i/__init__.py"
    q /usr/bin/python3 -m pip wheel -q --no-deps --no-build-isolation --no-index -w "$d" "$p"
  done
fi

# --- gzip ----------------------------------------------------------------------------------------------
section "gzip"
d=$(out gzip gzip)
ng=$(count 80)
for i in $(seq 1 "$ng"); do
  text $((1 + i * 97 % 5000)) "$i" > "$work/g.txt"
  gzip -c -$((1 + i % 9)) "$work/g.txt" > "$d/level-$i.txt.gz"
  gzip -c -n "$work/g.txt" > "$d/noname-$i.txt.gz"
  (cd "$work" && cp g.txt "notes$i.txt" && gzip -N -f "notes$i.txt" && mv "notes$i.txt.gz" "$d/named-$i.txt.gz")
  gzip -c --rsyncable "$work/g.txt" > "$d/rsyncable-$i.txt.gz"
  { gzip -c "$work/g.txt"; text 7 "$((i + 5))" | gzip -c; } > "$d/multimember-$i.txt.gz"
  tar -C "$work/zipsrc/$(( (i - 1) % nz + 1 ))" -czf "$d/tar-$i.tar.gz" .
done
: | gzip -c > "$d/empty-1.gz"
if have pigz && [ $sample -eq 0 ]; then
  d=$(out pigz gzip)
  for i in $(seq 1 "$ng"); do
    text $((1 + i * 97 % 5000)) "$i" > "$work/g.txt"
    pigz -c -p 2 -b 32 "$work/g.txt" > "$d/blocks-$i.txt.gz"
    [ $((i % 4)) -eq 0 ] && pigz -c -11 "$work/g.txt" > "$d/zopfli-$i.txt.gz"
  done
fi
python3 - "$(out python-gzip gzip)" "$ng" << 'EOF' >> "$log" 2>&1
import gzip, sys
out, n = sys.argv[1], int(sys.argv[2])
for i in range(1, n + 1):
    with gzip.GzipFile(f"{out}/mtime-{i}.txt.gz", "wb", compresslevel=1 + i % 9, mtime=i * 86400) as g:
        g.write(("line %d of a recovered journal\n" % i * (1 + i * 37 % 4000)).encode())
EOF

# --- Compound files ------------------------------------------------------------------------------------
section "compound files"
if [ $sample -eq 0 ] && perl -MSpreadsheet::WriteExcel -e1 2> /dev/null; then
  d=$(out writeexcel xls)
  perl - "$d" "$(count 150)" << 'EOF' >> "$log" 2>&1
use strict; use Spreadsheet::WriteExcel;
my ($out, $n) = @ARGV;
for my $i (1 .. $n) {
  my $book = Spreadsheet::WriteExcel->new("$out/book-$i.xls") or die;
  for my $s (1 .. 1 + $i % 4) {
    my $sheet = $book->add_worksheet("Disk$s");
    for my $r (0 .. 3 + ($i * 37 % 900)) {
      $sheet->write($r, 0, $r * $s * $i);
      $sheet->write($r, 1, "sector $r of $i");
      $sheet->write_formula($r, 2, "=A" . ($r + 1) . "*2");
    }
  }
  $book->close();
}
EOF
fi
if [ $sample -eq 0 ] && perl -MOLE::Storage_Lite -e1 2> /dev/null; then
  # Outlook-style messages: property streams in a compound file, small ones in the mini stream.
  d=$(out ole-storage-lite msg)
  perl - "$d" "$(count 100)" << 'EOF' >> "$log" 2>&1
use strict; use OLE::Storage_Lite;
my ($out, $n) = @ARGV;
sub u16 { my $s = shift; $s =~ s/(.)/$1\0/gs; $s }
for my $i (1 .. $n) {
  my $body = join("", map { "Line $_ of message $i about the recovered volume.\r\n" } 1 .. (1 + $i * 53 % 600));
  my @streams = (
    OLE::Storage_Lite::PPS::File->new(u16("__substg1.0_0037001F"), u16("Recovered files $i")),
    OLE::Storage_Lite::PPS::File->new(u16("__substg1.0_1000001F"), u16($body)),
    OLE::Storage_Lite::PPS::File->new(u16("__substg1.0_0C1A001F"), u16("Technician $i")),
    OLE::Storage_Lite::PPS::File->new(u16("__properties_version1.0"), "\0" x (32 + 16 * 3)),
  );
  my $named = OLE::Storage_Lite::PPS::Dir->new(u16("__nameid_version1.0"), undef, undef,
    [OLE::Storage_Lite::PPS::File->new(u16("__substg1.0_00020102"), "\0" x 16)]);
  my $root = OLE::Storage_Lite::PPS::Root->new(undef, undef, [@streams, $named]);
  $root->save("$out/message-$i.msg") or die;
}
EOF
fi

# --- MP3 and what starts like it ----------------------------------------------------------------------
section "audio sources"
nsnd=$(count 50)
mkdir -p "$work/wav"
python3 - "$work/wav" "$nsnd" << 'EOF' >> "$log" 2>&1
import array, math, random, sys, wave
out, n = sys.argv[1], int(sys.argv[2])
for i in range(1, n + 1):
    rnd = random.Random(i)
    rate, seconds = 44100, 1 + i % 4
    notes = [rnd.choice([220, 262, 294, 330, 392, 440, 523]) for _ in range(8)]
    samples = array.array("h")
    for t in range(rate * seconds):
        f = notes[t * len(notes) // (rate * seconds)]
        v = 0.3 * math.sin(2 * math.pi * f * t / rate) + 0.05 * (rnd.random() - 0.5)
        samples.append(int(v * 32767)); samples.append(int(v * 0.8 * 32767))
    with wave.open(f"{out}/{i}.wav", "wb") as w:
        w.setnchannels(2); w.setsampwidth(2); w.setframerate(rate); w.writeframes(samples.tobytes())
EOF
q $IM -size 200x200 plasma:fractal "$work/cover.jpg"
if have lame; then
  section "mp3: lame"
  d=$(out lame mp3)
  rates=(32 40 48 56 64 80 96 112 128 160 192 224 256 320)
  L() { q lame --quiet "$@"; }
  for i in $(seq 1 "$nsnd"); do
    w=$work/wav/$i.wav
    [ -f "$w" ] || continue
    L -b "${rates[i % 14]}" "$w" "$d/cbr-$i.mp3"
    L -V 2 "$w" "$d/vbr2-$i.mp3"
    L -V $((4 + i % 6)) --tt "Song $i" --ta Brenvik "$w" "$d/vbr-tagged-$i.mp3"
    L --abr $((64 + i % 128)) "$w" "$d/abr-$i.mp3"
    L --freeformat -b $((i % 2 == 0 ? 640 : 400)) "$w" "$d/freeformat-$i.mp3"
    L -m m -b 64 "$w" "$d/mono-$i.mp3"
    L -m s -b 128 "$w" "$d/stereo-$i.mp3"
    L --resample 22.05 -b 32 "$w" "$d/mpeg2-$i.mp3"
    L --resample 8 -b 16 "$w" "$d/mpeg25-$i.mp3"
    L -p -b 128 "$w" "$d/crc-$i.mp3"
    L -t -b 128 "$w" "$d/noinfo-$i.mp3"
    L --id3v1-only --tt "Song $i" "$w" "$d/id3v1-$i.mp3"
    L --id3v2-only --tt "Song $i" --tl Album --ty 2020 --pad-id3v2-size 4096 "$w" "$d/id3v2-padded-$i.mp3"
    L --ti "$work/cover.jpg" --tt "Song $i" "$w" "$d/cover-$i.mp3"
    L --nores --strictly-enforce-ISO -b 192 "$w" "$d/iso-$i.mp3"
  done
fi
if have ffmpeg; then
  section "mp3, aac: ffmpeg"
  d=$(out ffmpeg mp3)
  a=$(out ffmpeg aac-id3)
  for i in $(seq 1 "$nsnd"); do
    w=$work/wav/$i.wav
    [ -f "$w" ] || continue
    q ffmpeg -v error -y -i "$w" -c:a libmp3lame -b:a 128k -metadata title="Song $i" -id3v2_version 3 "$d/id3v23-$i.mp3"
    q ffmpeg -v error -y -i "$w" -c:a libmp3lame -q:a 4 -metadata artist=Brenvik -id3v2_version 4 -write_id3v1 1 "$d/id3v24-v1-$i.mp3"
    q ffmpeg -v error -y -i "$w" -i "$work/cover.jpg" -map 0 -map 1 -c:a libmp3lame -c:v copy -id3v2_version 3 \
      -metadata:s:v comment="Cover (front)" "$d/cover-$i.mp3"
    q ffmpeg -v error -y -i "$w" -c:a libmp3lame -write_xing 0 "$d/noxing-$i.mp3"
    q ffmpeg -v error -y -i "$w" -c:a aac -b:a $((64 + i % 4 * 32))k -metadata title="Song $i" -f adts -write_id3v2 1 "$a/adts-$i.aac"
  done
fi
if have flac; then
  section "flac with an ID3v2 tag in front"
  d=$(out flac flac-id3)
  for i in $(seq 1 "$nsnd"); do
    w=$work/wav/$i.wav
    [ -f "$w" ] || continue
    q flac -s -f -$((i % 9)) -o "$work/s.flac" "$w" || continue
    # The tag as taggers leave it: an ID3v2 tag made by lame, put before the stream.
    if have lame && q lame --quiet --id3v2-only --tt "Song $i" --ta Brenvik -b 32 "$w" "$work/t.mp3"; then
      tagsize=$(od -An -tu1 -j6 -N4 "$work/t.mp3" | awk '{ print 10 + $1 * 2097152 + $2 * 16384 + $3 * 128 + $4 }')
      { head -c "$tagsize" "$work/t.mp3"; cat "$work/s.flac"; } > "$d/id3-$i.flac"
    fi
  done
fi

# --- Text that starts like a checked type ------------------------------------------------------------
section "text lookalikes"
for kind in "ID3:id3" "GIF89a:gif" "%PDF-:pdf"; do
  d=$(out text "text-${kind#*:}")
  for i in $(seq 1 "$(count 100)"); do
    case $((i % 3)) in
      0) { printf '%s' "${kind%%:*}"; text $((1 + i % 40)) "$i"; } > "$d/notes-$i.txt" ;;
      1) { printf '%s is the format the notes below talk about\n' "${kind%%:*}"; text $((1 + i % 40)) "$i"; } > "$d/notes-$i.txt" ;;
      2) { printf '%s\n' "${kind%%:*}"; text $((1 + i % 40)) "$i"; } > "$d/notes-$i.txt" ;;
    esac
  done
done

# --- Files from Debian packages --------------------------------------------------------------------------
section "files from Debian packages"
# take <writer> <type> <limit> <find arguments...>: copies up to <limit> of the files found, spread over
# the whole list, named after their path.
take() {
  local writer=$1 type=$2 limit=$3 d total step
  shift 3
  d=$(out "$writer" "$type")
  find "$@" -type f 2> /dev/null | LC_ALL=C sort > "$work/found"
  total=$(wc -l < "$work/found")
  [ "$total" -gt 0 ] || return 0
  step=$(( total > limit ? total / limit : 1 ))
  awk -v s="$step" -v m="$limit" '(NR - 1) % s == 0 && c++ < m' "$work/found" | while IFS= read -r f; do
    name=$(echo "${f#/usr/share/}" | tr '/ ' '__')
    cp --reflink=auto "$f" "$d/$name" 2> /dev/null
  done
}
take debian-icons png "$(count 3000)" /usr/share/icons /usr/share/pixmaps -name '*.png'
take debian-man gzip "$(count 3000)" /usr/share/man -name '*.gz'
# What else a machine holds differs from one to the next: the sample keeps to the above.
[ $sample -eq 1 ] || {
take debian-pictures png "$(count 400)" /usr/share/backgrounds /usr/share/wallpapers /usr/share/desktop-base /usr/share/doc /usr/share/texlive /usr/share/help -name '*.png'
take debian-pictures jpeg "$(count 400)" /usr/share -name '*.jp*g'
take debian-pictures gif "$(count 400)" /usr/share -name '*.gif'
take debian-pictures bmp "$(count 400)" /usr/share -name '*.bmp'
take debian-docs pdf "$(count 600)" /usr/share/doc /usr/share/texlive /usr/share/texmf -name '*.pdf'
take debian-java jar "$(count 300)" /usr/share/java /usr/lib/libreoffice -name '*.jar'
take debian-wheels whl "$(count 100)" /usr/share/python-wheels -name '*.whl'
take debian-docs gzip "$(count 1000)" /usr/share/doc -name '*.gz'
take debian-docs epub "$(count 100)" /usr/share/doc -name '*.epub'
take debian-sounds mp3 "$(count 100)" /usr/share -name '*.mp3'
take debian-sounds other "$(count 20)" /usr/share/sounds -name '*.oga'
}

# --- Validity: each file against its format's own tool ----------------------------------------------------
section "testing every file with its format's own tool"
# valid <type> <file>: the reference tool's message when it rejects the file, nothing when it passes.
valid() {
  local type=$1 f=$2 m
  case $type in
    jpeg)
      if m=$(djpeg -outfile /dev/null "$f" 2>&1); then return 0; fi
      # djpeg of this Debian cannot decode lossless JPEG: ffmpeg's decoder judges those.
      case $m in *"SOF type 0xc3"*) have ffmpeg && m=$(ffmpeg -v error -i "$f" -f null - 2>&1) && [ -z "$m" ] && return 0 ;; esac ;;
    png) if have pngcheck; then m=$(pngcheck -q "$f" 2>&1) && return 0; else m=$($IM -regard-warnings "$f" null: 2>&1) && return 0; fi ;;
    gif) if have gifsicle; then m=$(gifsicle --info "$f" 2>&1 > /dev/null) && [ -z "$m" ] && return 0
         else m=$($IM -regard-warnings "$f" null: 2>&1) && return 0; fi ;;
    bmp) m=$($IM -regard-warnings "$f" null: 2>&1) && return 0 ;;
    pdf) have qpdf || return 0; m=$(qpdf --check "$f" 2>&1 | tail -3) && return 0 ;;
    zip | jar | docx | xlsx | pptx | odt | ods | odp | whl | epub)
      m=$(unzip -P secret -tqq "$f" 2>&1)
      case $? in
        0) return 0 ;;
        81)  # LZMA, AES: unzip cannot; 7-Zip judges them, or Python's zipfile (LZMA) where 7-Zip is missing
          if have 7z; then 7z t -psecret "$f" > /dev/null 2>&1 && return 0
          else m=$(python3 -c 'import sys, zipfile; sys.exit(zipfile.ZipFile(sys.argv[1]).testzip() is not None)' "$f" 2>&1) && return 0; fi ;;
      esac ;;
    gzip) m=$(gzip -t "$f" 2>&1) && return 0 ;;
    doc | xls | ppt | msg | compound)
      [ $sample -eq 0 ] && /usr/bin/python3 -c "import olefile" 2> /dev/null || return 0
      m=$(/usr/bin/python3 -c '
import olefile, sys
with olefile.OleFileIO(sys.argv[1]) as ole:
    for entry in ole.listdir():
        ole.openstream(entry).read()
' "$f" 2>&1) && return 0 ;;
    mp3)
      if have mpg123; then m=$(mpg123 -q -t "$f" 2>&1) && ! grep -qiE "error|illegal|cannot" <<< "$m" && return 0
      elif have ffmpeg; then m=$(ffmpeg -v error -i "$f" -f null - 2>&1) && [ -z "$m" ] && return 0
      else return 0; fi ;;
    aac-id3) m=$(ffmpeg -v error -i "$f" -f null - 2>&1) && [ -z "$m" ] && return 0 ;;
    flac-id3) m=$(flac -s -t "$f" 2>&1) && return 0 ;;
    *) return 0 ;;
  esac
  echo "${m:-rejected}" | tr '\n\t' '  ' | cut -c1-200
}
dropped=0
while IFS= read -r f; do
  rel=${f#"$root"/}
  type=${rel#*/}
  type=${type%%/*}
  if m=$(valid "$type" "$f") && [ -n "$m" ]; then
    printf '%s\t%s\n' "$rel" "$m" >> "$root/dropped.tsv"
    rm -f "$f"
    dropped=$((dropped + 1))
  fi
done < <(find "$root" -mindepth 3 -type f | LC_ALL=C sort)

# Empty files left by a writer that failed say nothing about the check: they go too.
find "$root" -mindepth 3 -type f -empty ! -name 'empty-*' -delete
find "$root" -mindepth 1 -type d -empty -delete
total=$(find "$root" -mindepth 3 -type f | wc -l)
section "done: $total files, $dropped dropped by their format's own tool (see dropped.tsv)"
find "$root" -mindepth 3 -type f | awk -F/ '{ print $(NF-2) "/" $(NF-1) }' | sort | uniq -c | sort -k2 > "$root/counts.txt"
cat "$root/counts.txt" >> "$log"
