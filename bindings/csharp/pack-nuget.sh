#!/usr/bin/env bash
# Packs the NuGet package Velmora.ImgWatermark.<version>.nupkg with dotnet
# pack of Velmora.ImgWatermark.csproj; the version is the top CMakeLists.txt's
# project() version (nuget/Version.props).
#   bindings/csharp/pack-nuget.sh LINUX_SO WINDOWS_DLL OUTDIR
#     LINUX_SO     the Linux module, e.g. build/libvelmora-imgwatermark.so
#                  (a symlink is followed: the package holds the real file)
#     WINDOWS_DLL  the Windows module from the MinGW build, e.g.
#                  build-win/velmora-imgwatermark.dll
#     OUTDIR       where the .nupkg is written (made if missing)
# Prints the package's path on its last line. Needs the .NET SDK (dotnet) and
# the NuGet registry (NETStandard.Library for netstandard2.0). Intermediate
# files go to a temporary folder, removed at the end.
set -euo pipefail
if [ $# -ne 3 ]; then
  sed -n '2,13p' "$0" | sed 's/^# \{0,1\}//' >&2
  exit 2
fi
here=$(cd "$(dirname "$0")" && pwd)
for f in "$1" "$2"; do
  [ -f "$f" ] || { echo "pack-nuget: no such file: $f" >&2; exit 1; }
done
linux_so=$(readlink -f "$1")
windows_dll=$(readlink -f "$2")
mkdir -p "$3"
outdir=$(cd "$3" && pwd)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export DOTNET_CLI_TELEMETRY_OPTOUT=1 DOTNET_NOLOGO=1 DOTNET_SKIP_FIRST_TIME_EXPERIENCE=1
# The modules go into the package under the names the hosts load them by.
mkdir -p "$work/native"
cp "$linux_so" "$work/native/libvelmora-imgwatermark.so"
cp "$windows_dll" "$work/native/velmora-imgwatermark.dll"
dotnet pack "$here/Velmora.ImgWatermark.csproj" -c Release --nologo -v:q \
  --artifacts-path "$work/artifacts" -o "$work/out" \
  "-p:VelmoraNativeLinux=$work/native/libvelmora-imgwatermark.so" \
  "-p:VelmoraNativeWindows=$work/native/velmora-imgwatermark.dll" >&2
# The one file dotnet pack wrote, named with the project's version.
packages=("$work"/out/Velmora.ImgWatermark.*.nupkg)
[ ${#packages[@]} -eq 1 ] && [ -f "${packages[0]}" ] || { echo "pack-nuget: dotnet pack wrote no package" >&2; exit 1; }
name=$(basename "${packages[0]}")
mv -f "${packages[0]}" "$outdir/$name"
echo "$outdir/$name"
