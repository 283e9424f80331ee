#!/usr/bin/env bash
# Builds the library and its command-line host, makes a sample photo and logo,
# and watermarks them. Results land in out/demo/.
set -euo pipefail
cd "$(dirname "$0")"
bash cmake/install-deps.sh demo
cmake -S . -B build >/dev/null
cmake --build build -j"$(nproc)" --target imgwatermark make_sample >/dev/null

out=out/demo
rm -rf "$out" && mkdir -p "$out/photos" "$out/marked"
tool=build/tools/imgwatermark
build/tools/make_sample "$out/photo.bmp" "$out/logo.tga"

"$tool" text --in "$out/photo.bmp" --out "$out/text-tiled.png" --text 'velmora\nimgwatermark' \
  --size 28 --opacity 0.4 --angle 30 --position tile --color 255,255,255
"$tool" text --in "$out/photo.bmp" --out "$out/text-corner.jpg" --text '(c) 2026 Velmora' \
  --size 36 --opacity 0.8 --position bottom-left --color 255,230,120
"$tool" image --in "$out/photo.bmp" --out "$out/logo-corner.png" --mark "$out/logo.tga" \
  --opacity 0.85 --position bottom-right --scale 0.6
cp "$out/photo.bmp" "$out/photos/one.bmp"
"$tool" text --in "$out/photo.bmp" --out "$out/photos/two.png" --text 'draft' --opacity 0 >/dev/null
count=$("$tool" batch --in "$out/photos" --out "$out/marked" --text 'PROOF' --size 64 --opacity 0.5)

echo "Watermarked samples in $out/:"
echo "  text-tiled.png   rotated, tiled two-line text"
echo "  text-corner.jpg  one line, bottom left, JPEG output"
echo "  logo-corner.png  scaled logo, bottom right"
echo "  marked/          batch over photos/ ($count images)"
