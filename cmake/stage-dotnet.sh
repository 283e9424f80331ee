#!/usr/bin/env bash
# Builds the NuGet package Velmora.ImgWatermark and tests it on .NET:
#   1. the Linux build (build/: the module, the C host, the sample maker) and
#      the Windows module (build-win/, MinGW cross build, module target only);
#   2. bindings/csharp/pack-nuget.sh packs them into build/dotnet/dist/;
#   3. the xunit tests (bindings/csharp/tests/dotnet/) restore that package
#      through a PackageReference from build/dotnet/dist and run under .NET
#      (CoreCLR) on linux-x64 with dotnet test;
#   4. a .NET Framework 4.6.2 project (bindings/csharp/tests/netfx/) is built
#      against the package, for x64 (velmora-imgwatermark.dll must be beside
#      the program, the package's own file) and for AnyCPU (it must not be:
#      the DLL is 64-bit only).
#   cmake/stage-dotnet.sh
# Needs the .NET SDK (dotnet) and the NuGet registry. Packages are restored
# into build/dotnet/packages, never the user's cache, and the package under
# test is removed from there first, so a stale copy of the same version is
# never used (cmake/dotnet-feed.sh). As root it installs missing Debian
# packages first.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=2
if ! command -v dotnet >/dev/null 2>&1; then
  echo "stage-dotnet: dotnet not found: the .NET tests need the .NET SDK" >&2
  exit 1
fi
bash cmake/install-deps.sh native windows

out="$PWD/build/dotnet"
source cmake/dotnet-feed.sh
dotnet_feed "$out" "$jobs" || { echo "stage-dotnet: FAILED (building or packing)"; exit 1; }
package=$dotnet_feed_package
linux_so=$dotnet_feed_linux_so
windows_dll=$dotnet_feed_windows_dll

status=0
step() {
  echo "== $1"
  shift
  "$@" || { echo "stage-dotnet: step failed: $*" >&2; status=1; }
}

run_xunit() {
  rm -rf "$out/tests"
  IMGWATERMARK_CLI="$PWD/build/tools/imgwatermark" \
  IMGWATERMARK_MAKE_SAMPLE="$PWD/build/tools/make_sample" \
  IMGWATERMARK_TEST_DIR="$out/test-work" \
  IMGWATERMARK_NUPKG="$package" \
  IMGWATERMARK_LINUX_SO="$linux_so" \
  IMGWATERMARK_WINDOWS_DLL="$windows_dll" \
    dotnet test bindings/csharp/tests/dotnet/Velmora.ImgWatermark.Tests.csproj --nologo \
      "-p:RestoreConfigFile=$out/nuget.config" --artifacts-path "$out/tests" \
      --logger "console;verbosity=normal"
}

# build_netfx PLATFORM: builds the .NET Framework program; prints its output folder.
build_netfx() {
  local artifacts="$out/netfx-$1"
  rm -rf "$artifacts"
  dotnet build bindings/csharp/tests/netfx/NetFxHost.csproj --nologo -v:q \
    --configfile "$out/nuget.config" --artifacts-path "$artifacts" "-p:PlatformTarget=$1" >&2 || return 1
  local exe
  exe=$(find "$artifacts/bin" -name NetFxHost.exe) && [ -n "$exe" ] || { echo "no NetFxHost.exe" >&2; return 1; }
  dirname "$exe"
}

check_netfx() {
  local dir
  dir=$(build_netfx x64) || return 1
  if ! cmp "$windows_dll" "$dir/velmora-imgwatermark.dll"; then
    echo "the x64 build has no velmora-imgwatermark.dll (the package's) beside NetFxHost.exe in $dir" >&2
    return 1
  fi
  echo "x64: $dir/velmora-imgwatermark.dll is the package's win-x64 module"
  dir=$(build_netfx AnyCPU) || return 1
  if [ -e "$dir/velmora-imgwatermark.dll" ]; then
    echo "the AnyCPU build got the 64-bit-only velmora-imgwatermark.dll in $dir" >&2
    return 1
  fi
  echo "AnyCPU: no velmora-imgwatermark.dll beside NetFxHost.exe, as intended"
}

step "xunit tests of the package under .NET (dotnet test)" run_xunit
step ".NET Framework 4.6.2 builds against the package" check_netfx

if [ "$status" -eq 0 ]; then
  echo "stage-dotnet: PASSED (package $(basename "$package"))"
else
  echo "stage-dotnet: FAILED"
fi
exit "$status"
