#!/usr/bin/env bash
# Makes docs/before-after.png, the README's picture, with the project's own
# tools: the demo's sample photo (tools/make_sample) on the left, and on the
# right the same photo marked by the command-line host as the demo marks it
# (tiled, turned two-line text, then the logo in the bottom-right corner).
# Both are laid at half size on a plain grey canvas by the library itself
# (imgwatermark image --scale 0.5), 20 pixels from the edges.
#   docs/make-picture.sh [BUILD_DIR]     (default: build, with tools built)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
tool=$build/tools/imgwatermark
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$build/tools/make_sample" "$work/photo.bmp" "$work/logo.tga" >/dev/null
"$tool" text --in "$work/photo.bmp" --out "$work/tiled.png" --text 'velmora\nimgwatermark' \
  --size 28 --opacity 0.4 --angle 30 --position tile --color 255,255,255
"$tool" image --in "$work/tiled.png" --out "$work/marked.png" --mark "$work/logo.tga" \
  --opacity 0.85 --position bottom-right --scale 0.6

# The canvas: 20 + 320 + 20 + 320 + 20 by 20 + 200 + 20 pixels of grey, a
# 24-bit BMP written here (no image tool needed for a plain colour).
/usr/bin/python3 - "$work/canvas.bmp" <<'PY'
import struct, sys
width, height = 700, 240
row = bytes((0xf0, 0xf0, 0xf0)) * width
pad = b"\0" * (-len(row) % 4)
pixels = (row + pad) * height
header = struct.pack("<2sIHHI", b"BM", 54 + len(pixels), 0, 0, 54)
info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(pixels), 2835, 2835, 0, 0)
open(sys.argv[1], "wb").write(header + info + pixels)
PY
"$tool" image --in "$work/canvas.bmp" --out "$work/left.bmp" --mark "$work/photo.bmp" \
  --opacity 1 --position top-left --scale 0.5
"$tool" image --in "$work/left.bmp" --out docs/before-after.png --mark "$work/marked.png" \
  --opacity 1 --position top-right --scale 0.5
echo "docs/before-after.png: $(stat -c %s docs/before-after.png) bytes"
