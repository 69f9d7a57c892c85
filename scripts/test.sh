#!/usr/bin/env bash
# Builds everything and runs every test: the unit tests on the stand-in
# (plain and under the sanitizers), the fuzzer for a bounded time, and both
# Windows executables, x64 and x86, under Wine.
#
#   VELMORA_HOST_64BIT_ONLY=1 scripts/test.sh   the 64-bit-only path on any host
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

ensure_packages $VELMORA_BUILD_PACKAGES $VELMORA_TEST_PACKAGES $(wine_packages x86) $(node_packages) || exit 1

passed=0
failed=0
failures=()

# Runs ctest in a build folder (with any further ctest options) and adds its
# counts to the totals.
run_ctest() {
    local name=$1 dir=$2 log
    shift 2
    log=$(mktemp)
    say "Tests: $name"
    (cd "$dir" && ctest --output-on-failure --timeout 600 "$@") 2>&1 | tee "$log"
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

# 4. The executables and the tests that run them under Wine. The x64 build
#    runs everything on every host. The x86 build runs everything where the
#    host runs 32-bit code (under WOW64, as on 64-bit Windows); elsewhere its
#    executable checks, and the x64 test program runs its registry view cases
#    against it under CPU emulation, so that no run leaves it unexecuted.
x86_emulated=
if host_runs_x86; then
    x86_how="native (WOW64), every Wine test"
else
    x86_emulated=$VELMORA_BUILD/win32/Velmora.exe
    x86_how="emulated (qemu-i386-static), smoke: -H, -U against the 64-bit view (not -L, whose threads qemu cannot run at once), and the executable checks"
fi
x64_how="native, every Wine test"
# Both builds are made before either runs: the x86 test program's shell case
# lists This PC through build/win64's test program, as a 64-bit system's
# shell is 64-bit.
built32=
if build_or_fail "win32" build_windows win32; then
    built32=1
else
    x86_how="not run: the build failed"; x86_emulated=
fi
# Configured every time: the emulated run comes and goes with the host's path.
built64=
if build_or_fail "win64" configure_windows win64 -DVELMORA_EMULATED_X86_EXE="$x86_emulated" &&
   build_or_fail "win64" build_windows win64; then
    built64=1
else
    x64_how="not run: the build failed"
    [ -n "$x86_emulated" ] && x86_how="executable checks only: the x64 test program failed to build"
fi
if [ -n "$built32" ] && [ -z "$x86_emulated" ]; then
    run_ctest "wine, x86" "$VELMORA_BUILD/win32"
elif [ -n "$built32" ]; then
    run_ctest "executable checks, x86" "$VELMORA_BUILD/win32" -L pe
fi
if [ -n "$built64" ]; then
    run_ctest "wine, x64$([ -n "$x86_emulated" ] && echo " and x86 emulated")" "$VELMORA_BUILD/win64"
fi

# 5. The release archive, built twice from this tree and compared.
say "Tests: release"
if /usr/bin/python3 "$VELMORA_ROOT/tests/release/test_release.py"; then
    passed=$((passed + 1))
else
    failed=$((failed + 1)); failures+=("release: see above")
fi

# 6. The GitHub Actions workflows, with GitHub's own parser, offline, and
#    the script that judges their Windows jobs' results, on samples.
say "Tests: workflows"
if bash "$VELMORA_ROOT/tests/workflows/check.sh"; then
    passed=$((passed + 1))
else
    failed=$((failed + 1)); failures+=("workflows: see above")
fi
say "Tests: the Windows jobs' results check"
if /usr/bin/python3 "$VELMORA_ROOT/tests/workflows/test_check_results.py"; then
    passed=$((passed + 1))
else
    failed=$((failed + 1)); failures+=("results check: see above")
fi

# 7. The scripts' install logic, against stand-ins for apt and dpkg.
say "Tests: install logic"
log=$(mktemp)
bash "$VELMORA_ROOT/tests/install/install_test.sh" >"$log" 2>&1
cat "$log"
summary=$(tail -n 1 "$log")
rm -f "$log"
if [[ $summary =~ ^install:\ ([0-9]+)\ passed,\ ([0-9]+)\ failed$ ]]; then
    passed=$((passed + BASH_REMATCH[1])); failed=$((failed + BASH_REMATCH[2]))
    [ "${BASH_REMATCH[2]}" -eq 0 ] || failures+=("install logic: see above")
else
    failed=$((failed + 1)); failures+=("install logic: did not run")
fi

# 8. The Windows job of windows.yml, step by step under Wine, on the archives
#    release.sh builds: x64 whole; x86 whole where the host runs 32-bit code.
#    The job is told when this host runs only part of it, or it fails.
job_part=()
if host_runs_x86; then
    job_how="x64 and x86 whole (x86 under WOW64)"
else
    job_how="x64 whole; x86 up to the refusal, emulated (qemu-i386-static: no -L, no end-to-end run)"
    job_part=(--x86-up-to-refusal)
fi
say "Tests: the Windows job under Wine"
if WINESERVER=$VELMORA_WINE_DIR/wineserver /usr/bin/python3 "$VELMORA_ROOT/tests/workflows/test_windows_job.py" \
        "${job_part[@]}"; then
    passed=$((passed + 1))
else
    failed=$((failed + 1)); failures+=("Windows job: see above"); job_how="$job_how, FAILED"
fi

# 9. The README's commands for many machines, taken from the README and run
#    under Wine's cmd against both builds (x86 emulated on a host that runs
#    no 32-bit code: they start no listing).
say "Tests: the README's commands"
if [ -n "$built64" ] && [ -n "$built32" ] && /usr/bin/python3 "$VELMORA_ROOT/tests/readme/test_readme_commands.py"; then
    passed=$((passed + 1))
else
    failed=$((failed + 1)); failures+=("README's commands: see above")
fi

echo
echo "Host: $(host_description)"
echo "x64 build (build/win64/Velmora.exe): $x64_how"
echo "x86 build (build/win32/Velmora.exe): $x86_how"
echo "Windows job (windows.yml) under Wine: $job_how"
echo
for failure in "${failures[@]}"; do echo "FAILED: $failure"; done
echo "velmora: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
