#!/usr/bin/env bash
# The Python packaging stage: ./pack.sh writes the wheels (Linux and Windows,
# the latter from the mingw-w64 build) and the SDK zip into
# build/python-check/dist (the NuGet package is the dotnet stage's), then
#   - both wheels are read back (file lists, copied files, tags, metadata) and
#     the Linux wheel is installed into a fresh venv, where the binding's
#     unittest suite runs against it (tests/python/test_wheels.py);
#   - the folder's SHA256SUMS is checked (tests/python/test_dist.py);
#   - examples/python/dask_batch.py runs on a local Dask cluster of two
#     worker processes, in a venv that has the wheel and Debian's Dask
#     (tests/python/test_dask_batch.py).
#   cmake/stage-python.sh
# Every step runs even when an earlier one failed; the last line says
# whether the stage passed.
set -uo pipefail
cd "$(dirname "$0")/.."

python=/usr/bin/python3
work=$PWD/build/python-check
bash cmake/install-deps.sh demo windows python || exit 1

status=0
step() {
  echo "== $1"
  shift
  "$@" || { echo "stage-python: step failed: $*" >&2; status=1; }
}

rm -rf "$work"
mkdir -p "$work"
step "packing into $work/dist" env PACK_SKIP_NUGET=1 PACK_DIST="$work/dist" bash pack.sh
step "building the command-line host and the sample maker" cmake --build build -j2 --target imgwatermark make_sample
export IMGWATERMARK_BUILD=$PWD/build IMGWATERMARK_BUILD_WIN=$PWD/build-win IMGWATERMARK_DIST=$work/dist
export IMGWATERMARK_CLI=$PWD/build/tools/imgwatermark IMGWATERMARK_MAKE_SAMPLE=$PWD/build/tools/make_sample
export PYTHONDONTWRITEBYTECODE=1
unset VELMORA_IMGWATERMARK_LIBRARY PYTHONPATH

step "the wheels" env IMGWATERMARK_TEST_DIR="$work/wheels" \
  "$python" -m unittest discover -v -s tests/python -t tests/python -p test_wheels.py
step "the dist folder and its SHA256SUMS" env IMGWATERMARK_TEST_DIR="$work/dist-check" IMGWATERMARK_EXPECT_NUGET=0 \
  "$python" -m unittest discover -v -s tests/python -t tests/python -p test_dist.py

dask_venv() {
  "$python" -m venv --system-site-packages "$work/dask-venv" &&
    "$work/dask-venv/bin/python" -m pip install --no-index --quiet --disable-pip-version-check \
      "$work"/dist/velmora_imgwatermark-*-manylinux_*.whl
}
step "a venv with the Linux wheel and Debian's Dask" dask_venv
step "the Dask example" env IMGWATERMARK_TEST_DIR="$work/dask" \
  "$work/dask-venv/bin/python" -m unittest discover -v -s tests/python -t tests/python -p test_dask_batch.py

if [ "$status" -eq 0 ]; then echo "stage-python: passed"; else echo "stage-python: FAILED"; fi
exit "$status"
