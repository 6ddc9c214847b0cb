#!/usr/bin/env bash
# The slower checks CI runs after the everyday suite (tests/run.sh):
#   1. native tests built with AddressSanitizer + UndefinedBehaviorSanitizer
#   2. native tests built with ThreadSanitizer
#   3. the Python suite against an ASan+UBSan build of the extension
#   4. the wheel: stable-ABI audit, and its tag against the shared object
#   5. AArch64: the kernels cross-compiled and run under qemu-user, bit for bit
#      against the x86-64 build
#   6. powf: the vector powf against the C library's over every non-negative
#      float base, for the default curve's exponents, on each vector path
#   7. docs: the documentation built with warnings as errors, the gallery's
#      examples and every example in the pages run
# Each step prints how long it took. Pass step names to run only some of them.
set -euo pipefail
cd "$(dirname "$0")/.."

python=${PYTHON:-python3}
jobs=${JOBS:-2}
steps=("$@")
[ ${#steps[@]} -eq 0 ] && steps=(asan tsan python-asan abi3 aarch64 powf docs)

source tests/lib.sh

native_suite() { # build dir, sanitizer list
    cmake -S . -B "$1" -G Ninja -DVORNIK_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DVORNIK_SANITIZE="$2" >/dev/null
    cmake --build "$1" -j "$jobs"
    ctest --test-dir "$1" --output-on-failure -j "$jobs"
}

step_asan() {
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
        native_suite build/asan address,undefined
}

step_tsan() {
    TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 native_suite build/tsan thread
}

step_python_asan() {
    local venv=build/asan-venv
    [ -x "$venv/bin/python" ] || "$python" -m venv --system-site-packages "$venv"
    "$venv/bin/python" -m pip install -q --no-deps --force-reinstall . \
        -C cmake.define.VORNIK_SANITIZE=address,undefined -C build-dir=build/asan-wheel
    local preload
    # The C++ runtime is preloaded too, so that the sanitizer finds the real
    # exception machinery that other extensions (matplotlib, scikit-learn) use.
    preload="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)"
    # The interpreter itself is not instrumented: leak reports would be its own.
    LD_PRELOAD="$preload" ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
        UBSAN_OPTIONS=print_stacktrace=1 "$venv/bin/python" -m pytest tests/python -q -x \
        -p no:cacheprovider
}

step_abi3() {
    "$python" -m pip install -q abi3audit
    rm -rf build/wheelhouse
    "$python" -m pip wheel -q --no-deps -w build/wheelhouse .
    local wheel
    wheel=$(ls build/wheelhouse/*.whl)
    echo "wheel: $(basename "$wheel")"
    case "$wheel" in *-cp311-abi3-*) ;; *) echo "wheel is not tagged cp311-abi3"; return 1 ;; esac
    local listing
    listing=$("$python" -m zipfile -l "$wheel")
    grep -q '_native_vornik\.abi3\.so' <<<"$listing" ||
        { echo "the wheel's shared object is not named .abi3.so"; return 1; }
    "$python" -m abi3audit --strict --report "$wheel"
    # The one wheel loads and works on every later CPython this machine has.
    local other venv
    for other in $(later_interpreters); do
        venv="build/abi3-$(basename "$(dirname "$(dirname "$other")")")"
        rm -rf "$venv"
        "$other" -m venv "$venv"
        "$venv/bin/python" -m pip install -q --no-deps "$wheel"
        (cd build && "../$venv/bin/python" ../tests/abi3_smoke.py)
    done
}

later_interpreters() { # CPython 3.12 and newer installed beside the build interpreter
    local root
    root=$(pyenv root 2>/dev/null) || return 0
    ls -d "$root"/versions/3.1[2-9]*/bin/python3 2>/dev/null || true
}

step_aarch64() {
    ensure_debian_packages g++-aarch64-linux-gnu qemu-user
    bash tests/cross/run_aarch64.sh
}

step_powf() {
    cmake -S . -B build/bench -G Ninja -DVORNIK_BUILD_BENCH=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build build/bench -j "$jobs" --target vornik_powf_check
    local path status
    for path in avx2 avx512; do
        status=0
        build/bench/vornik_powf_check -t "$jobs" --path "$path" || status=$?
        case $status in
        0) ;;
        2) echo "powf: no $path path on this machine and C library; skipped" ;;
        *) return 1 ;;
        esac
    done
}

step_docs() {
    # The package as this tree has it, with what the documentation needs.
    "$python" -m pip install -q ".[docs]"
    rm -rf build/docs docs/_generated docs/auto_examples
    # The HTML build runs the gallery's examples; the doctest build runs every
    # example in the pages and the docstrings. Any warning fails either.
    "$python" -m sphinx -W --keep-going -q -b html -d build/docs/doctrees docs build/docs/html
    "$python" -m sphinx -W --keep-going -q -b doctest -d build/docs/doctrees docs \
        build/docs/doctest >build/docs/doctest.log 2>&1 || {
        cat build/docs/doctest.log
        return 1
    }
    tail -n 3 build/docs/doctest/output.txt
    echo "docs: build/docs/html/index.html"
}

for step in "${steps[@]}"; do
    echo "== reliability: $step"
    start=$(date +%s)
    "step_${step//-/_}"
    echo "== reliability: $step passed in $(($(date +%s) - start)) s"
done
