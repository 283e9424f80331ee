#!/usr/bin/env bash
# The libvips side of the benchmark, with vips' command-line tools as a user
# would chain them; intermediate images go to a scratch directory.
#   vips_mark.sh corner-text|tiled-text IN OUT FONT
#   vips_mark.sh logo IN OUT LOGO      (the logo scaled by 2.5)
set -euo pipefail
job=$1 in=$2 out=$3 extra=$4
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
case "$out" in *.jpg|*.jpeg) target="$out[Q=92]" ;; *) target="$out" ;; esac
W=$(vipsheader -f width "$in")
H=$(vipsheader -f height "$in")

# White text whose alpha is the rendered mask times OPACITY: $tmp/mark.v
text_mark() {
  vips text "$tmp/t.v" "(c) 2026 Velmora" --fontfile "$extra" --font "Caladea 48" --dpi 72
  vips linear "$tmp/t.v" "$tmp/a.v" "$1" 0 --uchar
  vips linear "$tmp/t.v" "$tmp/w.v" 0 255 --uchar
  vips bandjoin "$tmp/w.v $tmp/w.v $tmp/w.v $tmp/a.v" "$tmp/rgba.v"
  vips copy "$tmp/rgba.v" "$tmp/mark.v" --interpretation srgb
}

case "$job" in
  corner-text)
    text_mark 0.8
    x=$((W - 20 - $(vipsheader -f width "$tmp/mark.v")))
    y=$((H - 20 - $(vipsheader -f height "$tmp/mark.v")))
    vips composite2 "$in" "$tmp/mark.v" "$target" over --x "$x" --y "$y"
    ;;
  tiled-text)
    text_mark 0.4
    vips embed "$tmp/mark.v" "$tmp/pad.v" 20 20 \
      $(( $(vipsheader -f width "$tmp/mark.v") + 40 )) $(( $(vipsheader -f height "$tmp/mark.v") + 40 ))
    vips rotate "$tmp/pad.v" "$tmp/turned.v" -- -30
    tw=$(vipsheader -f width "$tmp/turned.v")
    th=$(vipsheader -f height "$tmp/turned.v")
    vips replicate "$tmp/turned.v" "$tmp/rep.v" $(( (W + tw - 1) / tw )) $(( (H + th - 1) / th ))
    vips crop "$tmp/rep.v" "$tmp/layer.v" 0 0 "$W" "$H"
    vips composite2 "$in" "$tmp/layer.v" "$target" over
    ;;
  logo)
    vips resize "$extra" "$tmp/logo.v" 2.5
    x=$((W - 20 - $(vipsheader -f width "$tmp/logo.v")))
    y=$((H - 20 - $(vipsheader -f height "$tmp/logo.v")))
    vips composite2 "$in" "$tmp/logo.v" "$target" over --x "$x" --y "$y"
    ;;
  *) echo "vips_mark: unknown job $job" >&2; exit 2 ;;
esac
