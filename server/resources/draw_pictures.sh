#!/usr/bin/env bash
# Draws the control's pictures: the 48 x 48 face (a nine-pin serial plug with
# its cable) as a baseline JPEG, and its 16 x 15 reduction for the toolbox as
# a 24-bit bitmap. Needs ImageMagick (Debian package imagemagick). The results
# are committed; run this only to change them.
set -euo pipefail
cd "$(dirname "$0")"

convert -size 192x192 xc:'#f4f1e8' \
  -stroke '#2c2c2c' -strokewidth 4 -fill '#3b6ea8' \
  -draw 'roundrectangle 78,120 114,188 10,10' \
  -fill '#8d9399' -draw 'roundrectangle 14,40 178,128 14,14' \
  -fill '#c9ced3' -draw 'polygon 34,54 158,54 142,112 50,112' \
  -fill '#2c2c2c' -stroke none \
  -draw 'circle 26,84 26,94' -draw 'circle 166,84 166,94' \
  -fill '#e0b03a' -stroke '#6b5310' -strokewidth 2 \
  -draw 'circle 56,72 56,79' -draw 'circle 76,72 76,79' -draw 'circle 96,72 96,79' \
  -draw 'circle 116,72 116,79' -draw 'circle 136,72 136,79' \
  -draw 'circle 66,96 66,103' -draw 'circle 86,96 86,103' -draw 'circle 106,96 106,103' \
  -draw 'circle 126,96 126,103' \
  -filter Lanczos -resize 48x48 \
  -strip -interlace none -sampling-factor 1x1 -quality 90 -define jpeg:dct-method=float \
  JPEG:plug.jpg

convert plug.jpg -filter Lanczos -resize '16x15!' -strip -type TrueColor BMP3:toolbox.bmp
