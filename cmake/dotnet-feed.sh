# Sourced by cmake/stage-dotnet.sh and bench/dotnet/run.sh (from the top of
# the source tree): builds the two native modules, packs the NuGet package
# into a local folder and writes a nuget.config that finds it there.
#   dotnet_feed OUT [JOBS]
# Afterwards: $OUT/dist/Velmora.ImgWatermark.<version>.nupkg,
# $OUT/nuget.config (that folder first, then the usual registry), and the
# variables dotnet_feed_package, dotnet_feed_linux_so (the real file behind
# build/libvelmora-imgwatermark.so) and dotnet_feed_windows_dll. Packages are
# restored into $NUGET_PACKAGES=build/dotnet/packages, not the user's cache,
# and the package itself is removed from there first, so a stale copy of the
# same version is never used.

dotnet_feed() {
  local out=$1 jobs=${2:-2}
  export DOTNET_CLI_TELEMETRY_OPTOUT=1 DOTNET_NOLOGO=1 DOTNET_SKIP_FIRST_TIME_EXPERIENCE=1
  export NUGET_PACKAGES="$PWD/build/dotnet/packages"

  echo "== building the Linux module, the C host and the sample maker (build/)"
  cmake -S . -B build >/dev/null || return 1
  cmake --build build -j"$jobs" --target velmora-imgwatermark imgwatermark make_sample || return 1
  echo "== building the Windows module (build-win/)"
  cmake -S . -B build-win --no-warn-unused-cli -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake >/dev/null || return 1
  cmake --build build-win -j"$jobs" --target velmora-imgwatermark || return 1

  dotnet_feed_linux_so=$(readlink -f build/libvelmora-imgwatermark.so)
  dotnet_feed_windows_dll="$PWD/build-win/velmora-imgwatermark.dll"

  echo "== packing"
  rm -rf "$out/dist" "$NUGET_PACKAGES/velmora.imgwatermark"
  dotnet_feed_package=$(bash bindings/csharp/pack-nuget.sh "$dotnet_feed_linux_so" "$dotnet_feed_windows_dll" \
                          "$out/dist" | tail -n 1) || return 1
  echo "$dotnet_feed_package"
  cat >"$out/nuget.config" <<CONFIG
<?xml version="1.0" encoding="utf-8"?>
<configuration>
  <packageSources>
    <clear />
    <add key="velmora-local" value="$out/dist" />
    <add key="nuget.org" value="https://api.nuget.org/v3/index.json" />
  </packageSources>
</configuration>
CONFIG
}
