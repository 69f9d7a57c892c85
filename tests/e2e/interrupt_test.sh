#!/usr/bin/env bash
# The end-to-end program stopped in the middle, under Wine: interrupted (SIGINT
# to its Wine process, which reaches its console handler as Ctrl+C) it must
# put NoDrives back itself; killed outright (SIGKILL) it cannot, so the next
# run must refuse and change nothing, and --restore-backup must put it back.
#
#   interrupt_test.sh PATH/TO/velmora_e2e_tests.exe 'Z:\PATH\TO\Velmora.exe'
#
# WINEPREFIX names the prepared test prefix.
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/lib.sh"
tests=$1 velmora=$2
wine_environment
loader=$(wine_loader "$(pe_machine "$tests")")
key='HKLM\Software\Microsoft\Windows\CurrentVersion\Policies\Explorer'
marker=0xabc000  # letters O, P, R, T, U, V: a value no case writes
backup=$(dirname "$tests")/velmora_e2e_tests.backup
output=$(mktemp)
trap 'rm -f "$output"' EXIT
failures=0

fail() { echo "FAILED: $*"; failures=$((failures + 1)); }

stored() {
    wine_run reg query "$key" /v NoDrives /reg:64 </dev/null 2>/dev/null | tr -d '\r' |
        awk '$1 == "NoDrives" { print $3 }'
}

# Starts a run that changes the machine, and waits for its first change.
start_run() {
    "$loader" "$tests" --gtest_filter='Policy.*' --change-this-machine "$velmora" \
        </dev/null >"$output" 2>&1 &
    run=$!
    for _ in $(seq 600); do
        grep -q 'first change made' "$output" && return 0
        kill -0 "$run" 2>/dev/null || break
        sleep 0.1
    done
    fail "no change was announced"; cat "$output"
    return 1
}

wine_run reg add "$key" /v NoDrives /t REG_DWORD /d $marker /f /reg:64 </dev/null >/dev/null
rm -f "$backup"

echo "== interrupted with Ctrl+C"
if start_run; then
    kill -INT "$run"
    wait "$run"
    status=$?
    grep -q 'stopped by Ctrl+C; the machine is as it was' "$output" || { fail "no restore said"; cat "$output"; }
    [ "$status" -ne 0 ] || fail "an interrupted run ended with status 0"
    [ "$(stored)" = $marker ] || fail "NoDrives is $(stored), not $marker"
    [ ! -e "$backup" ] || fail "the backup was left behind"
fi

echo "== killed outright"
if start_run; then
    kill -KILL "$run"
    wait "$run" 2>/dev/null
    # As a power cut would: every process of the prefix ends with it (Wine
    # does not end a job's processes when its last handle goes with a kill).
    wine_server -k 2>/dev/null
    wine_server -w 2>/dev/null
    [ -e "$backup" ] || fail "no backup left by the killed run"
    wine_run reg add "$key" /v NoDrives /t REG_DWORD /d 0x1 /f /reg:64 </dev/null >/dev/null
    "$loader" "$tests" --change-this-machine "$velmora" </dev/null >"$output" 2>&1
    status=$?
    [ "$status" -eq 3 ] || fail "the next run ended with $status, not 3 (refused)"
    grep -q 'left its backup' "$output" || { fail "the refusal does not say why"; cat "$output"; }
    [ "$(stored)" = 0x1 ] || fail "the refused run changed NoDrives to $(stored)"
    "$loader" "$tests" --restore-backup </dev/null >"$output" 2>&1 || { fail "--restore-backup failed"; cat "$output"; }
    [ "$(stored)" = $marker ] || fail "after --restore-backup NoDrives is $(stored), not $marker"
    [ ! -e "$backup" ] || fail "--restore-backup left the backup behind"
fi

wine_run reg delete "$key" /v NoDrives /f /reg:64 </dev/null >/dev/null 2>&1
[ "$failures" -eq 0 ] && echo "interrupt_test.sh: every check held" || echo "interrupt_test.sh: $failures checks failed"
[ "$failures" -eq 0 ]
