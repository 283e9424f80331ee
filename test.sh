#!/usr/bin/env bash
# Installs what the build needs, builds the library and runs every test
# stage: the native suite, the sanitizer builds, the Windows DLL under Wine
# (with a comparison against the Linux output), and fixed-seed fuzz runs.
#   ./test.sh          all stages
#   ./test.sh quick    the native suite only
set -uo pipefail
cd "$(dirname "$0")"

stages=(native sanitize windows python fuzz)
[ "${1:-}" = quick ] && stages=(native)

groups=(native)
for s in "${stages[@]}"; do
  case "$s" in windows) groups+=(windows) ;; fuzz) groups+=(fuzz) ;; esac
done
bash cmake/install-deps.sh "${groups[@]}" || exit 1

stage_native() {
  cmake -S . -B build >/dev/null &&
    cmake --build build -j"$(nproc)" &&
    ctest --test-dir build --output-on-failure -j"$(nproc)"
}
stage_sanitize() { bash cmake/stage-sanitize.sh all; }
stage_windows() { bash cmake/stage-windows.sh; }
stage_python() { bash cmake/stage-python.sh; }
stage_fuzz() { bash cmake/stage-fuzz.sh 2500; }

passed=0
failed=0
for s in "${stages[@]}"; do
  echo "=== stage: $s"
  start=$SECONDS
  if "stage_$s"; then
    passed=$((passed + 1))
    echo "=== stage $s passed ($((SECONDS - start)) s)"
  else
    failed=$((failed + 1))
    echo "=== stage $s FAILED ($((SECONDS - start)) s)"
  fi
done
echo "stages: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
