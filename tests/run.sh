#!/usr/bin/env bash
# Installs what the tests need, then runs both suites: the native kernels
# (GoogleTest via CTest) and the Python module (pytest). Each step's output
# goes to a log under build/test-logs; the console gets a summary per suite,
# and a failing step's whole log.
#
# VORNIK_HEAVY_TESTS=1 adds the memory-heavy and long cases (buffers of
# several GiB, a layout that draws 2^31 samples); CI sets it. Without it the
# run stays under 4 GB of resident memory.
set -euo pipefail
cd "$(dirname "$0")/.."

python=${PYTHON:-python3}
jobs=${JOBS:-2}
heavy=${VORNIK_HEAVY_TESTS:-}
logs=build/test-logs
# Native cases that take minutes; run only with VORNIK_HEAVY_TESTS=1.
heavy_native='AnEdgeOwingIntMaxNegativeSamplesFinishes'

source tests/lib.sh
mkdir -p "$logs"

quietly() { # log name, command...: the output goes to the log, shown whole on failure
    local name=$1
    shift
    if ! "$@" >"$logs/$name.log" 2>&1; then
        cat "$logs/$name.log"
        echo "== $name failed (log: $logs/$name.log)"
        return 1
    fi
}

# chromium and its driver: the interactive page is tested in a headless browser
ensure_debian_packages libgtest-dev binutils chromium chromium-driver
command -v cmake >/dev/null && command -v ninja >/dev/null ||
    quietly tools "$python" -m pip install -q cmake ninja

echo "== building and installing the extension"
quietly install "$python" -m pip install -q ".[test,demo]"

echo "== native tests"
quietly native-build bash -c "cmake -S . -B build/native -G Ninja -DVORNIK_BUILD_TESTS=ON \
    -DCMAKE_BUILD_TYPE=Release && cmake --build build/native -j $jobs"
exclude=()
if [ -z "$heavy" ] || [ "$heavy" = 0 ]; then exclude=(-E "$heavy_native"); fi
quietly native-tests ctest --test-dir build/native --output-on-failure -j "$jobs" "${exclude[@]}"
grep -E "tests passed|tests failed|Total Test time" "$logs/native-tests.log"

echo "== Python tests"
quietly python-tests "$python" -m pytest tests/python -q -p no:cacheprovider
tail -n 1 "$logs/python-tests.log"
