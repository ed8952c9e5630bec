#!/usr/bin/env bash
# Renders the program's icon (packaging/icons/org.orvane.Pallador.svg) into
# the PNG sizes of the hicolor theme, committed beside it. Run after editing
# the SVG; needs ImageMagick (scripts/deps.sh test installs it).
set -euo pipefail
icons=$(cd "$(dirname "$0")/../packaging/icons" && pwd)
for size in 16 24 32 48 64 128 256; do
  convert -background none -density 384 "$icons/org.orvane.Pallador.svg" \
    -resize "${size}x${size}" -strip "PNG32:$icons/org.orvane.Pallador-$size.png"
done
