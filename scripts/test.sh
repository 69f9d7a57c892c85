#!/usr/bin/env bash
# Builds everything and runs every test: the unit tests on the stand-in
# (plain and under the sanitizers), the fuzzer for a bounded time, and the
# Windows executable itself under Wine.
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

ensure_packages $VELMORA_BUILD_PACKAGES $VELMORA_WINE_PACKAGES $VELMORA_TEST_PACKAGES || exit 1

passed=0
failed=0
failures=()

# Runs ctest in a build folder and adds its counts to the totals.
run_ctest() {
    local name=$1 dir=$2 log
    log=$(mktemp)
    say "Tests: $name"
    (cd "$dir" && ctest --output-on-failure --timeout 600) 2>&1 | tee "$log"
    local summary
    summary=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -n 1)
    if [ -z "$summary" ]; then
        failed=$((failed + 1)); failures+=("$name: ctest did not run")
    else
        local total bad
        total=$(sed -E 's/.*out of ([0-9]+).*/\1/' <<<"$summary")
        bad=$(sed -E 's/.*passed, ([0-9]+) tests failed.*/\1/' <<<"$summary")
        passed=$((passed + total - bad)); failed=$((failed + bad))
        [ "$bad" -eq 0 ] || failures+=("$name: $bad failed")
    fi
    rm -f "$log"
}

build_or_fail() {
    local name=$1; shift
    say "Build: $name"
    if ! "$@"; then
        failed=$((failed + 1)); failures+=("$name: build failed")
        return 1
    fi
}

configure_native() {
    local dir=$1; shift
    [ -f "$dir/CMakeCache.txt" ] || cmake -S "$VELMORA_ROOT" -B "$dir" "$@" >/dev/null
}

# 1. Unit tests on the stand-in, natively.
if build_or_fail "native" configure_native "$VELMORA_BUILD/native" -DCMAKE_BUILD_TYPE=Debug &&
   build_or_fail "native" cmake --build "$VELMORA_BUILD/native" -j "$(nproc)"; then
    run_ctest "unit" "$VELMORA_BUILD/native"
fi

# 2. The same unit tests under AddressSanitizer and UndefinedBehaviorSanitizer.
if build_or_fail "sanitizers" configure_native "$VELMORA_BUILD/sanitize" -DCMAKE_BUILD_TYPE=Debug \
        -DCMAKE_CXX_COMPILER=clang++ -DVELMORA_SANITIZE=ON &&
   build_or_fail "sanitizers" cmake --build "$VELMORA_BUILD/sanitize" -j "$(nproc)"; then
    run_ctest "unit, sanitizers" "$VELMORA_BUILD/sanitize"
fi

# 3. The fuzzer over whole runs on the stand-in, for a bounded time.
if [ -f "$VELMORA_ROOT/tests/fuzz/CMakeLists.txt" ]; then
    if build_or_fail "fuzz" configure_native "$VELMORA_BUILD/fuzz" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
            -DCMAKE_CXX_COMPILER=clang++ -DVELMORA_SANITIZE=ON -DVELMORA_FUZZ=ON &&
       build_or_fail "fuzz" cmake --build "$VELMORA_BUILD/fuzz" -j "$(nproc)"; then
        run_ctest "fuzz" "$VELMORA_BUILD/fuzz"
    fi
fi

# 4. The executable and the tests that run it under Wine.
if build_or_fail "win32" build_win32; then
    run_ctest "wine" "$VELMORA_BUILD/win32"
fi

echo
for failure in "${failures[@]}"; do echo "FAILED: $failure"; done
echo "velmora: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
