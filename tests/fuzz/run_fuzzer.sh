#!/usr/bin/env bash
# Runs the whole-run fuzzer.
#   run_fuzzer.sh replay FUZZER SOURCE_DIR SCRATCH          every seed once
#   run_fuzzer.sh fuzz FUZZER SOURCE_DIR SCRATCH SECONDS     fuzz for a while
# The committed corpus is never written to: fuzzing works on a fresh copy in
# SCRATCH, and anything the fuzzer trips over lands there too.
set -euo pipefail
mode=$1 fuzzer=$2 source=$3 scratch=$4 seconds=${5:-60}

# One argument may be 100 000 bytes; leave room for the machine and the rest.
max_len=120000

rm -rf "$scratch"
mkdir -p "$scratch/corpus"
cp "$source"/corpus/* "$scratch/corpus/"
cd "$scratch"

common=(-max_len=$max_len -timeout=10 -artifact_prefix="$scratch/" -print_final_stats=1)

case $mode in
replay)
    # Files rather than the folder: each input runs once and nothing is written.
    "$fuzzer" "${common[@]}" "$scratch"/corpus/*
    echo "replayed $(ls "$scratch/corpus" | wc -l) seeds"
    ;;
fuzz)
    log=$scratch/fuzz.log
    status=0
    "$fuzzer" "${common[@]}" -dict="$source/velmora.dict" -max_total_time="$seconds" \
        "$scratch/corpus" >"$log" 2>&1 || status=$?
    # The progress lines are many; the rest (start, stats, any report) is shown.
    grep -v -E '^#[0-9]+[[:space:]]+(NEW|REDUCE|pulse)' "$log" || true
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    echo "fuzzer: ${runs:-unknown} executions in ${seconds}s, exit status $status," \
        "corpus now $(ls "$scratch/corpus" | wc -l) inputs"
    exit "$status"
    ;;
*)
    echo "usage: $0 replay|fuzz FUZZER SOURCE_DIR SCRATCH [SECONDS]" >&2
    exit 2
    ;;
esac
