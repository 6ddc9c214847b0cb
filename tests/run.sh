#!/usr/bin/env bash
# Installs what the tests need, then runs both suites: the native kernels
# (GoogleTest via CTest) and the Python module (pytest).
set -euo pipefail
cd "$(dirname "$0")/.."

python=${PYTHON:-python3}
jobs=${JOBS:-2}

source tests/lib.sh

# chromium and its driver: the interactive page is tested in a headless browser
ensure_debian_packages libgtest-dev binutils chromium chromium-driver
command -v cmake >/dev/null && command -v ninja >/dev/null || "$python" -m pip install -q cmake ninja

echo "== building and installing the extension"
"$python" -m pip install -q ".[test,demo]"

echo "== native tests"
cmake -S . -B build/native -G Ninja -DVORNIK_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/native -j "$jobs"
ctest --test-dir build/native --output-on-failure -j "$jobs"

echo "== Python tests"
"$python" -m pytest tests/python -q
