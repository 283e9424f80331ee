#!/usr/bin/env bash
# Builds the Linux module (build/) and the Windows one (build-win/, mingw-w64)
# and writes every distributable into dist/:
#   velmora-imgwatermark-<version>-win64.zip                    the Windows SDK folder
#   Velmora.ImgWatermark.<version>.nupkg                        the NuGet package (both modules)
#   velmora_imgwatermark-<version>-py3-none-manylinux_2_NN_x86_64.whl, ...-win_amd64.whl
#   SHA256SUMS                                                  sha256sum's list of the files above
#   ./pack.sh
# The NuGet package needs the .NET SDK (dotnet) and bindings/csharp/pack-nuget.sh;
# without either the script says so, leaves the package out and fails, unless
# PACK_SKIP_NUGET=1, which leaves it out on purpose. PACK_DIST=DIR writes
# into DIR instead of dist/ (the folder is emptied first).
set -euo pipefail
cd "$(dirname "$0")"

dist=${PACK_DIST:-dist}
jobs=2
bash cmake/install-deps.sh demo windows python

version=$(sed -n 's/^project(velmora-imgwatermark VERSION \([0-9][0-9.]*\) .*/\1/p' CMakeLists.txt)
[ -n "$version" ] || { echo "pack: no project version in CMakeLists.txt" >&2; exit 1; }

echo "== building build/ (Linux)"
cmake -S . -B build >/dev/null
cmake --build build -j"$jobs" --target velmora-imgwatermark >/dev/null
echo "== building build-win/ (Windows, mingw-w64) and the SDK zip"
cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake --no-warn-unused-cli >/dev/null
cmake --build build-win -j"$jobs" --target sdk-zip >/dev/null

linux_so=build/libvelmora-imgwatermark.so
windows_dll=build-win/velmora-imgwatermark.dll
rm -rf "$dist"
mkdir -p "$dist"
cp "build-win/velmora-imgwatermark-$version-win64.zip" "$dist/"

echo "== Python wheels"
/usr/bin/python3 bindings/python/make_wheel.py "$linux_so" "$dist" >/dev/null
/usr/bin/python3 bindings/python/make_wheel.py "$windows_dll" "$dist" >/dev/null

echo "== NuGet package"
nuget_missing=
if [ "${PACK_SKIP_NUGET:-0}" = 1 ]; then
  echo "pack: PACK_SKIP_NUGET=1: the NuGet package is left out"
elif ! command -v dotnet >/dev/null; then
  nuget_missing="dotnet (the .NET SDK) is not on PATH"
elif [ ! -f bindings/csharp/pack-nuget.sh ]; then
  nuget_missing="bindings/csharp/pack-nuget.sh is not in this checkout"
else
  bash bindings/csharp/pack-nuget.sh "$linux_so" "$windows_dll" "$dist/" >/dev/null
  [ -f "$dist/Velmora.ImgWatermark.$version.nupkg" ] ||
    { echo "pack: pack-nuget.sh wrote no $dist/Velmora.ImgWatermark.$version.nupkg" >&2; exit 1; }
fi

# Checksums of every other file, verified at once.
(cd "$dist" && find . -maxdepth 1 -type f ! -name SHA256SUMS -printf '%f\n' | LC_ALL=C sort |
   xargs -d '\n' sha256sum -- >SHA256SUMS && sha256sum -c --quiet SHA256SUMS)

echo "$dist/:"
for f in "$dist"/*; do
  printf '  %-64s %10d bytes\n' "$(basename "$f")" "$(stat -c %s "$f")"
done
if [ -n "$nuget_missing" ]; then
  echo "pack: NuGet package NOT made: $nuget_missing (set PACK_SKIP_NUGET=1 to leave it out on purpose)" >&2
  exit 1
fi
