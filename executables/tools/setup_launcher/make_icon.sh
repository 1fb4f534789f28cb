#!/usr/bin/env bash
# Draws the launcher's icon and writes it as src/setup_launcher.ico: a box with two lines of text
# and an arrow leaving it, at 16, 32, 48 and 256 pixels. Every image is stored PNG-compressed,
# which Windows reads since Vista; uncompressed, the three small sizes alone took 15 KB of the
# launcher's image. Needs ImageMagick; the build only uses the icon file this writes.
#
#   make_icon.sh [OUTPUT.ico]
set -euo pipefail

output=${1:-$(dirname "${BASH_SOURCE[0]}")/src/setup_launcher.ico}
sizes=(16 32 48 256)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The drawing, in units of 1/48 of the icon, rendered once large and reduced per size with a box
# filter, so that every edge is covered exactly as far as the shape covers the pixel.
canvas=2304
unit=$((canvas / 48))
at() { awk -v unit="$unit" '{ for (i = 1; i <= NF; ++i) printf "%s%g", (i > 1 ? "," : ""), $i * unit }' <<<"$*"; }
convert -size ${canvas}x${canvas} xc:none \
    -fill '#1F6FB2' -draw "roundrectangle $(at 3 7.5 45 43.6 4 4)" \
    -fill '#F2B01E' -draw "polygon $(at 24 1.6) $(at 33 10.6) $(at 15 10.6)" \
    -fill '#F2B01E' -draw "rectangle $(at 20.8 10 27.2 17)" \
    -fill '#FFFFFF' -draw "rectangle $(at 10.5 16.5 37.5 19.5)" \
    -fill '#FFFFFF' -draw "rectangle $(at 10.5 24 31.5 27)" \
    "$work/drawing.png"

for size in "${sizes[@]}"; do
    convert "$work/drawing.png" -filter box -resize "${size}x${size}" -strip \
        -define png:exclude-chunks=all "png32:$work/$size.png"
done

# The icon file: a 6-byte header, a 16-byte entry per image, then the images.
le16() { printf '%b' "\\x$(printf %02x $(($1 & 255)))\\x$(printf %02x $(($1 >> 8 & 255)))"; }
le32() { le16 $(($1 & 65535)); le16 $(($1 >> 16)); }
{
    le16 0
    le16 1
    le16 ${#sizes[@]}
    offset=$((6 + 16 * ${#sizes[@]}))
    for size in "${sizes[@]}"; do
        bytes=$(stat -c %s "$work/$size.png")
        le16 $((size & 255 | (size & 255) << 8))  # width, height; 0 stands for 256
        le16 0                                    # no palette
        le16 1                                    # planes
        le16 32                                   # bits per pixel
        le32 "$bytes"
        le32 "$offset"
        offset=$((offset + bytes))
    done
    for size in "${sizes[@]}"; do
        cat "$work/$size.png"
    done
} >"$output"
identify "$output"
