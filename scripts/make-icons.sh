#!/usr/bin/env bash
# Scales the 256-pixel icon to the other hicolor sizes the desktop asks for. Run after changing
# resources/brenvik.png and commit the results.
set -euo pipefail
cd "$(dirname "$0")/../resources"
for size in 16 22 24 32 48 64 128; do
  convert brenvik.png -resize "${size}x${size}" -strip "PNG32:icons/brenvik-${size}.png"
done
