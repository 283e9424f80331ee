#!/usr/bin/env bash
# Times the library's command-line host against the tools a user would pick
# instead (ImageMagick's convert, a short C program on libvips, a short Pillow
# script) on a 12-megapixel photo-like picture, and prints a table of median
# times, ratios and peak memory, followed by the library's per-stage timings.
# libvips is also timed on one `vips composite2` call with the mark rendered
# beforehand.
#   bench/compare.sh [runs]      (default 5; runs are interleaved)
# As root it installs the peers from Debian first. Results and scratch files
# go to build/bench/. Speed is measured here, never in the tests.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-5}

bash cmake/install-deps.sh native
peers=(imagemagick libvips-tools libvips-dev pkg-config python3 python3-pil)
missing=()
for p in "${peers[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "Missing Debian packages: ${missing[*]} (sudo apt-get install ${missing[*]})" >&2
    exit 1
  fi
  DEBIAN_FRONTEND=noninteractive apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target imgwatermark make_sample imgwatermark_bench >/dev/null
mkdir -p build/bench
# shellcheck disable=SC2046
cc -O2 -Wall -Wextra -o build/bench/vips_mark bench/vips_mark.c $(pkg-config --cflags --libs vips)

# Debian's own Python, where Pillow is installed, whatever else is on PATH.
exec /usr/bin/python3 bench/compare.py --runs "$runs" --build build --out build/bench --vips-mark build/bench/vips_mark \
  --font "$(sed -n 's/^IMGWATERMARK_FONT:FILEPATH=//p' build/CMakeCache.txt)"
