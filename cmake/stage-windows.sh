#!/usr/bin/env bash
# Builds velmora-imgwatermark.dll for 64-bit Windows, runs the test suite on
# it under Wine, and checks that the Linux and Windows builds turn the same
# inputs into the same pictures.
#   cmake/stage-windows.sh
# Needs no display and no user input; as root it installs missing Debian
# packages first. The Wine prefix lives in build-win/wineprefix.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=2
bash cmake/install-deps.sh windows
# The comparison also runs the Linux build and a small native helper.
bash cmake/install-deps.sh native

export WINEPREFIX="$PWD/build-win/wineprefix"
export WINEDEBUG=-all
# No Mono or Gecko installer dialogs: the tests are console programs.
export WINEDLLOVERRIDES="mscoree,mshtml="
export DISPLAY=

# Wine's first start in a new prefix takes several seconds; it happens here,
# once, rather than inside a test's time limit. wineserver -w waits until
# that first session has fully ended.
mkdir -p "$WINEPREFIX"
echo "== preparing the Wine prefix"
wineboot -i </dev/null >/dev/null 2>&1
wineserver -w
trap 'wineserver -w >/dev/null 2>&1 || true' EXIT

# Every step runs even when an earlier one failed, so one run shows all
# problems; the script fails if any step did.
status=0
step() {
  echo "== $1"
  shift
  "$@" || { echo "stage-windows: step failed: $*" >&2; status=1; }
}

cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake >/dev/null
step "building build-win" cmake --build build-win -j"$jobs"
step "running the tests under Wine" ctest --test-dir build-win --output-on-failure -j"$jobs"

if [ ! -x build/tools/imgwatermark ] || [ ! -x build/tools/make_sample ]; then
  cmake -S . -B build >/dev/null
  step "building the Linux command-line host" cmake --build build -j"$jobs" --target imgwatermark make_sample
fi
step "comparing with the Linux build" bash cmake/compare-builds.sh
exit "$status"
