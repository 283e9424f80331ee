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
# A server left over from an interrupted run would keep -w below waiting.
wineserver -k >/dev/null 2>&1 || true
wineboot -i </dev/null >/dev/null 2>&1
wineserver -w
# One persistent wineserver for the whole stage. Left to itself, the server
# exits a moment after its last client, and a test starting in that moment
# loses its connection ("wine client error: recvmsg: Connection reset by
# peer") before it has run a line of its own. The session's helper processes
# (winedevice and the like) are started here too, with no terminal or pipe:
# started by a test, they would inherit its output pipe and hold it open for
# as long as the server lives, and CTest would wait on it until its timeout.
wineserver -p </dev/null >/dev/null 2>&1
wineboot </dev/null >/dev/null 2>&1
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT

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
# A test that fails is run once more: Wine itself can still drop a process
# now and then. The native and sanitizer stages run the same tests with no
# second chance, so a test that is flaky in its own right shows there.
step "running the tests under Wine" ctest --test-dir build-win --output-on-failure -j"$jobs" --repeat until-pass:2

if [ ! -x build/tools/imgwatermark ] || [ ! -x build/tools/make_sample ]; then
  cmake -S . -B build >/dev/null
  step "building the Linux command-line host" cmake --build build -j"$jobs" --target imgwatermark make_sample
fi
step "comparing with the Linux build" bash cmake/compare-builds.sh
exit "$status"
