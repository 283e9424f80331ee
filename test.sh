#!/usr/bin/env bash
# Installs what the build needs, builds the library and runs every test
# stage: the native suite, the sanitizer builds, the Windows DLL under Wine
# (with a comparison against the Linux output), the Python packages, the
# NuGet package under .NET, and fixed-seed fuzz runs.
#   ./test.sh          all stages
#   ./test.sh quick    the native suite only
# A stage that cannot run here (dotnet without the .NET SDK) is reported as
# skipped, with the reason, and does not fail the run; under CI (CI set) it
# fails instead.
set -uo pipefail
cd "$(dirname "$0")"

stages=(native sanitize windows python dotnet fuzz)
[ "${1:-}" = quick ] && stages=(native)

groups=(native)
for s in "${stages[@]}"; do
  case "$s" in windows | dotnet) groups+=(windows) ;; fuzz) groups+=(fuzz) ;; esac
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
# Exit status 77: skipped (the reason is printed first).
skip_status=77
stage_dotnet() {
  if ! command -v dotnet >/dev/null 2>&1; then
    if [ -n "${CI:-}" ]; then
      echo "dotnet not found: the .NET SDK is required under CI (the .NET tests need it)" >&2
      return 1
    fi
    echo "dotnet not found: the .NET tests need the .NET SDK"
    return "$skip_status"
  fi
  bash cmake/stage-dotnet.sh
}

passed=0
failed=0
skipped=0
for s in "${stages[@]}"; do
  echo "=== stage: $s"
  start=$SECONDS
  rc=0
  "stage_$s" || rc=$?
  if [ "$rc" -eq 0 ]; then
    passed=$((passed + 1))
    echo "=== stage $s passed ($((SECONDS - start)) s)"
  elif [ "$rc" -eq "$skip_status" ]; then
    skipped=$((skipped + 1))
    echo "=== stage $s skipped"
  else
    failed=$((failed + 1))
    echo "=== stage $s FAILED ($((SECONDS - start)) s)"
  fi
done
echo "stages: $passed passed, $failed failed, $skipped skipped"
[ "$failed" -eq 0 ]
