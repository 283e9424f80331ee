#!/usr/bin/env bash
# Installs what the build needs, builds the library and runs the test suite.
set -euo pipefail
cd "$(dirname "$0")"
bash cmake/install-deps.sh native
cmake -S . -B build >/dev/null
cmake --build build -j"$(nproc)"
ctest --test-dir build --output-on-failure -j"$(nproc)"
