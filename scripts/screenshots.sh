#!/usr/bin/env bash
# Screenshots of every page of the window in each language, under Xvfb, to look at the layout:
#   scripts/screenshots.sh [OUTPUT_DIR] [LOCALE ...]   (default: shots/, C.UTF-8 en_US.UTF-8 zh_CN.UTF-8)
# Clicks each tool button of the running program (the row of seven at the top) and then Settings.
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-shots}
shift || true
locales=("$@")
[ ${#locales[@]} -gt 0 ] || locales=(C.UTF-8 en_US.UTF-8 zh_CN.UTF-8)
mkdir -p "$out"
for locale in "${locales[@]}"; do
  LANG=$locale LANGUAGE= LC_ALL= xvfb-run -a -s "-screen 0 1400x900x24" bash -c '
    out=$1; tag=$2
    ./build/app/brenvik & program=$!
    for _ in $(seq 50); do window=$(xdotool search --pid $program --onlyvisible 2>/dev/null | head -1); [ -n "$window" ] && break; sleep 0.2; done
    xdotool windowmove --sync "$window" 0 0; sleep 1
    geometry=$(xdotool getwindowgeometry "$window" | sed -n "s/.*Geometry: //p")
    width=${geometry%x*}; height=${geometry#*x}
    # The tool buttons sit at 7 + 68 * i of 655 dialog units across the window, 7..31 of 380 down.
    for i in 0 1 2 3 4 5 6; do
      xdotool mousemove --sync $(( width * (7 + 68 * i + 29) / 655 )) $(( height * 19 / 380 )) click 1; sleep 1.5
      import -window root "$out/$tag-page$i.png"
      [ $i -eq 6 ] && xdotool key Escape && sleep 0.5
    done
    kill $program; wait $program || true
  ' _ "$out" "${locale%%.*}"
done
ls "$out"
