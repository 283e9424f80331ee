#!/usr/bin/env bash
# The .NET benchmark: packs Velmora.ImgWatermark from fresh builds, makes the
# 12-megapixel inputs as bench/compare.sh does (make_sample's photo, written
# as JPEG and the logo as PNG by the library itself), and runs
# bench/dotnet/ (Release) on them: this library through its NuGet package
# against Magick.NET, NetVips and ImageSharp, printing a markdown table.
#   bench/dotnet/run.sh [runs]      (default 5)
# Needs the .NET SDK and the NuGet registry. Inputs, outputs and builds go to
# build/bench-dotnet/. Speed is measured here, never in the tests.
set -euo pipefail
cd "$(dirname "$0")/../.."
runs=${1:-5}

command -v dotnet >/dev/null 2>&1 || { echo "run.sh: dotnet not found: the benchmark needs the .NET SDK" >&2; exit 1; }
bash cmake/install-deps.sh native windows
out="$PWD/build/bench-dotnet"
mkdir -p "$out"
source cmake/dotnet-feed.sh
dotnet_feed "$out" 2 >&2

echo "== making the inputs" >&2
cli=build/tools/imgwatermark
build/tools/make_sample "$out/photo.bmp" "$out/logo.tga" 4000 3000
# A mark of opacity 0 changes nothing: the library only re-encodes.
"$cli" text --in "$out/photo.bmp" --out "$out/photo.jpg" --text - --opacity 0 >/dev/null
"$cli" text --in "$out/logo.tga" --out "$out/logo.png" --text - --opacity 0 >/dev/null
font=$(sed -n 's/^IMGWATERMARK_FONT:FILEPATH=//p' build/CMakeCache.txt)

echo "== building bench/dotnet (Release)" >&2
rm -rf "$out/app"
dotnet build bench/dotnet/ImgWatermarkDotnetBench.csproj -c Release --nologo -v:q \
  "-p:RestoreConfigFile=$out/nuget.config" --artifacts-path "$out/app" >&2
app=$(find "$out/app/bin" -type f -name ImgWatermarkDotnetBench -perm -u+x | head -n 1)
[ -n "$app" ] || { echo "run.sh: no ImgWatermarkDotnetBench built" >&2; exit 1; }

echo "== running ($runs runs)" >&2
"$app" "$out" "$font" "$runs"
