#!/usr/bin/env bash
# Same input, same output: runs the Linux command-line host (build/) and the
# Windows one (build-win/, under Wine) on the same generated pictures and
# compares the decoded pixels of every result.
#   cmake/compare-builds.sh
# Unturned text, logos and the batch must match pixel for pixel (their PNG
# bytes are compared too and reported). Turned text goes through sin and cos
# of two different math libraries (glibc's, and MinGW-w64's, linked into the
# DLL); they agree on every angle measured so far, so by default turned text
# must match exactly too. Where a toolchain's last bits differ, the bound can
# be set: every channel may then differ by at most ROTATED_MAX_DIFF and at most
# ROTATED_MAX_PIXELS pixels may differ at all (both default 0).
set -euo pipefail
cd "$(dirname "$0")/.."

native=build/tools/imgwatermark
sample=build/tools/make_sample
windows=build-win/tools/imgwatermark.exe
work=build-win/compare
rotated_max_diff=${ROTATED_MAX_DIFF:-0}
rotated_max_pixels=${ROTATED_MAX_PIXELS:-0}

for f in "$native" "$sample" "$windows"; do
  [ -x "$f" ] || { echo "compare-builds: $f is missing (build it first)" >&2; exit 2; }
done
WINE=${WINE:-$(command -v wine || command -v wine64 || true)}
[ -n "$WINE" ] || { echo "compare-builds: wine not found" >&2; exit 2; }
export WINEPREFIX=${WINEPREFIX:-$PWD/build-win/wineprefix}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
export DISPLAY=${DISPLAY:-}

rm -rf "$work"
mkdir -p "$work/linux" "$work/windows" "$work/batch-in"
compare="$work/compare_pixels"
g++ -std=c++17 -O2 -Wall -Wextra -Wpedantic -isystem /usr/include/stb \
  tests/windows/compare_pixels.cpp -o "$compare"

"$sample" "$work/photo.bmp" "$work/logo.tga"
# Batch inputs in all three formats, made once and read by both builds.
cp "$work/photo.bmp" "$work/batch-in/one.bmp"
"$native" text --in "$work/photo.bmp" --out "$work/batch-in/two.png" --text x --opacity 0
"$native" text --in "$work/photo.bmp" --out "$work/batch-in/three.jpg" --text x --opacity 0

# run <linux|windows> ARGS...: one CLI call writing under $work/<platform>.
run() {
  local platform=$1; shift
  local args=("${@//@OUT@/$work/$platform}")
  if [ "$platform" = linux ]; then
    "$native" "${args[@]}" >/dev/null
  else
    "$WINE" "$windows" "${args[@]}" >/dev/null
  fi
}

cases=()   # name|kind|output file relative to the platform directory
add_case() { cases+=("$1|$2|$3"); shift 3; for p in linux windows; do run "$p" "$@"; done; }

text_args=(--in "$work/photo.bmp" --text 'velmora\nproof 2026' --size 28 --opacity 0.6 --color 255,230,120)
for pos in 0 1 2 3 4 5; do
  add_case "text position $pos" exact "text-$pos.png" text "${text_args[@]}" --position "$pos" --out "@OUT@/text-$pos.png"
done
for scale in 0.6 1.7; do
  add_case "logo scale $scale" exact "logo-$scale.png" image --in "$work/photo.bmp" --mark "$work/logo.tga" \
    --opacity 0.85 --position bottom-right --scale "$scale" --out "@OUT@/logo-$scale.png"
done
add_case "logo tiled" exact "logo-tile.png" image --in "$work/photo.bmp" --mark "$work/logo.tga" \
  --opacity 0.5 --position tile --scale 0.35 --out "@OUT@/logo-tile.png"
for p in linux windows; do
  run "$p" batch --in "$work/batch-in" --out "@OUT@/batch" --text 'PROOF' --size 64 --opacity 0.5 --position 4
done
for f in one.bmp two.png three.jpg; do cases+=("batch $f|exact|batch/$f"); done
for angle in 30 45 90 -90 180 17.5; do
  add_case "text angle $angle" rotated "rot-$angle.png" text "${text_args[@]}" --angle "$angle" --position 5 \
    --out "@OUT@/rot-$angle.png"
  add_case "text angle $angle centred" rotated "rot-$angle-c.png" text "${text_args[@]}" --angle "$angle" \
    --position 0 --out "@OUT@/rot-$angle-c.png"
done

failed=0
printf '%-28s %-10s %10s %9s  %s\n' case bytes "px differ" "max diff" verdict
for c in "${cases[@]}"; do
  IFS='|' read -r name kind file <<<"$c"
  a="$work/linux/$file" b="$work/windows/$file"
  if [ ! -f "$a" ] || [ ! -f "$b" ]; then
    printf '%-28s missing output\n' "$name"; failed=1; continue
  fi
  bytes=differ; cmp -s "$a" "$b" && bytes=same
  if ! result=$("$compare" "$a" "$b"); then
    printf '%-28s cannot compare\n' "$name"; failed=1; continue
  fi
  read -r _ _ count largest <<<"$result"
  verdict=ok
  if [ "$kind" = exact ]; then
    [ "$count" -eq 0 ] || verdict=FAIL
  else
    { [ "$largest" -le "$rotated_max_diff" ] && [ "$count" -le "$rotated_max_pixels" ]; } || verdict=FAIL
  fi
  [ "$verdict" = ok ] || failed=1
  printf '%-28s %-10s %10s %9s  %s\n' "$name" "$bytes" "$count" "$largest" "$verdict"
done
if [ "$failed" -ne 0 ]; then
  echo "compare-builds: the Linux and Windows builds disagree" >&2
  exit 1
fi
echo "compare-builds: Linux and Windows outputs agree (${#cases[@]} cases)"
