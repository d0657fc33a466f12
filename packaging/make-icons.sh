#!/usr/bin/env bash
# Renders the program's SVG icon into the PNG sizes of the hicolor theme (needs imagemagick).
# The PNGs are committed; run this again after changing app/icons/fwupgrade.svg.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
for size in 16 24 32 48 64 128 256; do
    convert -background none -density 600 "$here/../app/icons/fwupgrade.svg" \
        -resize "${size}x${size}" -depth 8 "PNG32:$here/icons/fwupgrade-$size.png"
done
