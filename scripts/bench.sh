#!/usr/bin/env bash
# Benchmark of Velmora.exe under Wine: what each command costs beside what an
# administrator would use instead (reg.exe) and beside floors no program can
# beat (a do-nothing program, and a program making only -L's drive queries),
# with its standard output on a character device (/dev/null) and on a regular
# file, how many writes each command makes to it, its size by section, its
# peak memory, and how many hidden drives concurrent runs lose. Given a second
# executable (--before), it measures both side by side in the same rounds.
# It measures and reports; it asserts nothing.
#
#   scripts/bench.sh [--runs N] [--warmup W] [--drive X] [--memory-runs M]
#                    [--copies C] [--rounds R] [--no-concurrency]
#                    [--build DIR] [--prefix DIR] [--before EXE]
#
#   --runs N          timed runs of every command (default 30)
#   --warmup W        untimed rounds first (default 3)
#   --drive X         the letter -H and -U use (default Q)
#   --memory-runs M   runs per command for the peak memory (default 5)
#   --copies C        concurrent copies of "Velmora.exe -H" (default 8, at most 26)
#   --rounds R        rounds of the concurrency run (default 10)
#   --no-concurrency  skip the concurrency run
#   --build DIR       the Windows build folder (default: the build this host
#                     runs natively, build/win32 where it runs 32-bit code,
#                     else build/win64)
#   --prefix DIR      the Wine prefix (default build/wine/bench)
#   --before EXE      another Velmora.exe for the same machine, for instance
#                     one built from an earlier commit: every command of it
#                     is timed and its writes counted beside the build's
#
# Timing: every command runs once per round, rounds repeated N times, and the
# order rotates from round to round, so drift in the machine's load falls on
# all commands alike instead of on whichever ran last. Each run is timed by
# the shell around the whole `wine ...` command, stdin from /dev/null and
# stderr to /dev/null; the floors are timed the same way, so what the shell
# and Wine's loader cost is in the floors too. Velmora's commands run twice a
# round, stdout once to /dev/null (a character device, which the C runtime
# leaves unbuffered, as it does Windows' NUL) and once to a regular file
# (">file" in the tables: what scripts and agents read). The floors and reg
# run with stdout to /dev/null only.
#
# Writes: every Velmora command runs once more under strace, and the write
# calls of all its processes whose file is the standard output's target are
# counted. Wine hands a process its Unix descriptors through wineserver, so
# the descriptor number is not stdout's own; strace -y names the file.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
# Decimal points in $EPOCHREALTIME and awk's output, whatever the locale.
export LC_ALL=C

runs=30
warmup=3
drive=Q
memory_runs=5
copies=8
rounds=10
concurrency=1
build=
before=
prefix=$VELMORA_BUILD/wine/bench

usage() { sed -n '2,/^set -euo/{/^set -euo/d;s/^# \{0,1\}//;p}' "$0"; }

while [ $# -gt 0 ]; do
    case $1 in
    --runs) runs=$2; shift 2 ;;
    --warmup) warmup=$2; shift 2 ;;
    --drive) drive=$2; shift 2 ;;
    --memory-runs) memory_runs=$2; shift 2 ;;
    --copies) copies=$2; shift 2 ;;
    --rounds) rounds=$2; shift 2 ;;
    --no-concurrency) concurrency=0; shift ;;
    --build) build=$(realpath -m "$2"); shift 2 ;;
    --prefix) prefix=$(realpath -m "$2"); shift 2 ;;
    --before) before=$(realpath -m "$2"); shift 2 ;;
    -h|--help) usage; exit 0 ;;
    *) echo "bench.sh: unknown option $1" >&2; usage >&2; exit 2 ;;
    esac
done
for number in "$runs" "$warmup" "$memory_runs" "$copies" "$rounds"; do
    [[ $number =~ ^[0-9]+$ ]] || { echo "bench.sh: not a count: $number" >&2; exit 2; }
done
[ "$runs" -ge 1 ] || { echo "bench.sh: --runs must be at least 1" >&2; exit 2; }
[[ $drive =~ ^[A-Za-z]$ ]] || { echo "bench.sh: --drive takes one letter" >&2; exit 2; }
drive=${drive^^}
[ -z "$before" ] || [ -f "$before" ] || { echo "bench.sh: no such executable: $before" >&2; exit 2; }

ensure_packages $VELMORA_BUILD_PACKAGES $VELMORA_BENCH_PACKAGES $(wine_packages x86) || exit 1
[ -n "$build" ] || build=$VELMORA_BUILD/$(native_build)

# --- Build ------------------------------------------------------------------
say "Building Velmora.exe and the benchmark programs in $build"
# A folder configured before the benchmark programs existed knows no target
# for them until CMake runs again.
if [ -f "$build/CMakeCache.txt" ]; then
    cmake "$build" >/dev/null
fi
case $build in
"$VELMORA_BUILD/win32" | "$VELMORA_BUILD/win64")
    build_windows "$(basename "$build")" --target Velmora bench_programs >/dev/null ;;
*)
    [ -f "$build/CMakeCache.txt" ] || { echo "bench.sh: $build is no configured Windows build" >&2; exit 2; }
    cmake --build "$build" -j "$(nproc)" --target Velmora bench_programs >/dev/null ;;
esac
velmora=$build/Velmora.exe
noop=$build/bench/noop.exe
probe=$build/bench/drive_probe.exe
loader_floor=$build/bench/loader_floor.exe
launch=$build/bench/launch.exe
# Everything measured is built for one machine and started by its loader.
machine=$(pe_machine "$velmora")
[ -z "$before" ] || [ "$(pe_machine "$before")" = "$machine" ] ||
    { echo "bench.sh: $before is not built for $machine like $velmora" >&2; exit 2; }
if [ "$machine" = x86 ]; then architecture=i686; else architecture=x86_64; fi
host_runs_x86 || [ "$machine" = x64 ] || echo "bench.sh: $(host_description): the x86 build runs under CPU emulation" >&2
loader=$(wine_loader "$machine")
wine=$(printf %q "$loader")

# --- Wine -------------------------------------------------------------------
export WINEPREFIX=$prefix
wine_environment
ensure_wine_prefix "$WINEPREFIX"
# One server for the whole benchmark; without it every run would also pay for
# starting wineserver and Wine's services. A server left running in this
# prefix is stopped first, so the one measured is in a known state.
wine_server -k 2>/dev/null || true
wine_server -w
wine_server -p </dev/null >/dev/null 2>&1
trap 'wine_server -k 2>/dev/null || true' EXIT
# cmd.exe always sets PROMPT; without it the tool would wait for a key.
export PROMPT='$P$G'

# The 64-bit reg.exe, started directly by Wine's 64-bit loader (see below).
wine64=$(printf %q "$(wine_loader x64)")
reg64() { eval "$wine64" C:/windows/system32/reg.exe '"$@"' </dev/null >/dev/null 2>&1; }

policy_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Policies\Explorer'
drive_mask=$((1 << ($(printf '%d' "'$drive") - 65)))
reg64 add "$policy_key" /v NoDrives /t REG_DWORD /d 0 /f /reg:64

# --- Timing -----------------------------------------------------------------
# reg.exe: the 64-bit one is what `reg` at an administrator's prompt on 64-bit
# Windows runs; it is started with Wine's 64-bit loader and its full path,
# since `wine reg` would first start start.exe to launch it and so time two
# processes. /reg:64 names the view Velmora writes. The 32-bit reg.exe from
# SysWOW64 is measured too when the x86 build is: like Velmora and the floors
# it is then a WOW64 process.
# loader_floor is noop plus what Wine's loader does for Velmora.exe (advapi32
# and its DLLs, the manifest and resources): the floor for a program that
# must touch the registry, measured to tell Wine's share from the tool's.
# Every Velmora row is named "<build> <switches>", with " >file" when its
# stdout goes to the file: "velmora -L", "before -H Q: >file".
samples=$(mktemp -d)
trap 'wine_server -k 2>/dev/null || true; rm -rf "$samples"' EXIT
output_file=$samples/stdout
names=(noop loader_floor drive_probe)
commands=(
    "$wine $(printf %q "$noop")"
    "$wine $(printf %q "$loader_floor")"
    "$wine $(printf %q "$probe")"
)
builds=(velmora); executables=("$velmora")
[ -z "$before" ] || { builds+=(before); executables+=("$before"); }
switches=("-?" -L "-H $drive:" "-U $drive:")
declare -A target=()
for ((b = 0; b < ${#builds[@]}; b++)); do
    for output in /dev/null "$output_file"; do
        for command in "${switches[@]}"; do
            name="${builds[b]} $command"
            [ "$output" = /dev/null ] || name+=" >file"
            names+=("$name"); target[$name]=$output
            read -ra words <<<"$command"
            commands+=("$wine $(printf '%q ' "${executables[b]}" "${words[@]}")")
        done
    done
done
names+=("reg query" "reg add")
commands+=(
    "$wine64 C:/windows/system32/reg.exe query '$policy_key' /v NoDrives /reg:64"
    "$wine64 C:/windows/system32/reg.exe add '$policy_key' /v NoDrives /t REG_DWORD /d $drive_mask /f /reg:64"
)
if [ "$machine" = x86 ]; then
    names+=("reg query (32-bit)" "reg add (32-bit)")
    commands+=(
        "$wine C:/windows/syswow64/reg.exe query '$policy_key' /v NoDrives /reg:64"
        "$wine C:/windows/syswow64/reg.exe add '$policy_key' /v NoDrives /t REG_DWORD /d $drive_mask /f /reg:64"
    )
fi
count=${#commands[@]}

# Where the standard output of command $1 goes.
output_of() { echo "${target[${names[$1]}]:-/dev/null}"; }

# Runs command $1 once; appends its wall time in milliseconds to its file.
time_command() {
    local index=$1 start end output
    output=$(output_of "$index")
    start=$EPOCHREALTIME
    eval "${commands[$index]}" </dev/null >"$output" 2>/dev/null || true
    end=$EPOCHREALTIME
    echo "$start $end" | awk '{ printf "%.3f\n", ($2 - $1) * 1000 }' >>"$samples/$index"
}

say "Warming up: $warmup rounds"
for ((round = 0; round < warmup; round++)); do
    for ((i = 0; i < count; i++)); do
        eval "${commands[$i]}" </dev/null >"$(output_of $i)" 2>/dev/null || true
    done
done

say "Timing: $runs rounds of ${count} commands, interleaved"
for ((round = 0; round < runs; round++)); do
    for ((k = 0; k < count; k++)); do
        time_command $(((round + k) % count))
    done
done

# Median, quartiles, min and max of one sample file, in milliseconds.
statistics() {
    sort -n "$1" | awk '
        { v[NR] = $1 }
        function q(p,   h, l) { h = (NR - 1) * p + 1; l = int(h); return v[l] + (h - l) * (v[l + (l < NR)] - v[l]) }
        END { printf "%.1f %.1f %.1f %.1f %.1f\n", q(0.5), q(0.25), q(0.75), v[1], v[NR] }'
}

declare -a median q1 q3 low high
for ((i = 0; i < count; i++)); do
    read -r median[i] q1[i] q3[i] low[i] high[i] < <(statistics "$samples/$i")
done
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

echo
# Wine's version from its 64-bit loader: the emulated 32-bit one would take
# --version for a program to start.
echo "Velmora, $machine build ($build), under Wine, $(date +%F), $("$(wine_loader x64)" --version), $(nproc) cores, $runs runs each (interleaved), times in ms"
printf '%-20s %8s %17s %17s  %-12s %6s\n' command median "IQR (q1-q3)" "min-max" floor ratio
# The floor of command $1: drive_probe for -L, none for noop, else noop.
floor_of() {
    case ${names[$1]} in
    "velmora -L"* | "before -L"*) echo 2 ;;
    noop) ;;
    *) echo 0 ;;
    esac
}
for ((i = 0; i < count; i++)); do
    floor=$(floor_of $i)
    if [ -z "$floor" ]; then
        floor_text="-"; ratio_text="-"
    else
        floor_text=${names[floor]}; ratio_text=$(ratio "${median[i]}" "${median[floor]}")
    fi
    printf '%-20s %8s %17s %17s  %-12s %6s\n' "${names[i]}" "${median[i]}" \
        "${q1[i]}-${q3[i]}" "${low[i]}-${high[i]}" "$floor_text" "$ratio_text"
done
if [ "$machine" = x86 ]; then
    echo "(Velmora and the floors are 32-bit WOW64 processes; \"reg\" is the 64-bit reg.exe started"
    echo " by Wine's 64-bit loader, \"(32-bit)\" is SysWOW64\\reg.exe; all with /reg:64.)"
else
    echo "(Velmora, the floors and \"reg\", the 64-bit reg.exe, are 64-bit processes; all with /reg:64.)"
fi
# Index of a command by its name.
at() { local i; for ((i = 0; i < count; i++)); do [ "${names[i]}" = "$1" ] && echo $i; done; return 0; }
H=$(at "velmora -H $drive:") U=$(at "velmora -U $drive:") L=$(at "velmora -L") help=$(at "velmora -?")
echo
echo "reg add / velmora -H:              $(ratio "${median[$(at "reg add")]}" "${median[H]}")"
[ "$machine" = x86 ] &&
    echo "reg add (32-bit) / velmora -H:     $(ratio "${median[$(at "reg add (32-bit)")]}" "${median[H]}")"
echo "reg query / velmora -L:            $(ratio "${median[$(at "reg query")]}" "${median[L]}")"
echo "Wine's loader for Velmora's DLLs and resources, loader_floor / noop: $(ratio "${median[1]}" "${median[0]}")"
echo "the tool's own calls, velmora -H / loader_floor: $(ratio "${median[H]}" "${median[1]}")," \
     "velmora -U / loader_floor: $(ratio "${median[U]}" "${median[1]}")," \
     "velmora -? / loader_floor: $(ratio "${median[help]}" "${median[1]}")"

# --- Writes, and the builds side by side ---------------------------------------
# Runs command $1 once under strace; prints how many write calls went to its
# standard output's file. Its stderr goes to a file of its own, so that
# Wine's messages are not counted as output. Wine's services were started by
# the timing runs and outlive them (the wineserver is persistent); started
# under strace, they would keep it waiting for their end.
count_writes() {
    local output log=$samples/strace
    output=$(output_of "$1")
    # --seccomp-bpf stops only at the calls counted: under CPU emulation a
    # process makes many others.
    eval "strace -f --seccomp-bpf -y -qq -o $(printf %q "$log") -e trace=write,writev,pwrite64,pwritev" \
        "${commands[$1]}" </dev/null >"$output" 2>"$samples/stderr" || true
    awk -v file="$output>" '
        match($0, /^[0-9]+ +(write|writev|pwrite64|pwritev)\([0-9]+</) &&
            substr($0, RLENGTH + 1, length(file)) == file { n++ }
        END { print n + 0 }' "$log"
}
say "Counting writes to standard output: one run of every command under strace"
declare -A writes=()
for ((i = 0; i < count; i++)); do
    [ -z "${target[${names[i]}]:-}" ] || writes[${names[i]}]=$(count_writes $i)
done
echo
echo "Per command: median ms, ratio to its floor (as above), write calls to stdout in one run"
header=$(printf '%-10s %-10s' command stdout)
for build in "${builds[@]}"; do header+=$(printf ' %9s %6s %6s' "$build" /floor writes); done
[ ${#builds[@]} -eq 1 ] || header+=$(printf ' %15s' "velmora/before")
echo "$header"
for output in /dev/null "$output_file"; do
    suffix=; [ "$output" = /dev/null ] || suffix=" >file"
    for command in "${switches[@]}"; do
        line=$(printf '%-10s %-10s' "$command" "$( [ -z "$suffix" ] && echo /dev/null || echo file)")
        for build in "${builds[@]}"; do
            i=$(at "$build $command$suffix")
            line+=$(printf ' %9s %6s %6s' "${median[i]}" "$(ratio "${median[i]}" "${median[$(floor_of "$i")]}")" \
                    "${writes[$build $command$suffix]}")
        done
        [ ${#builds[@]} -eq 1 ] ||
            line+=$(printf ' %15s' "$(ratio "${median[$(at "velmora $command$suffix")]}" "${median[$(at "before $command$suffix")]}")")
        echo "$line"
    done
done
[ -z "$before" ] || echo "(velmora: $velmora; before: $before)"

# --- Size -------------------------------------------------------------------
# From the section table: bytes of content (virtual size) and bytes in the
# file (raw size, rounded up to the file alignment).
echo
echo "Size of Velmora.exe: $(stat -c %s "$velmora") bytes in the file"
[ -z "$before" ] || echo "  (before: $(stat -c %s "$before") bytes)"
objdump_bin=$architecture-w64-mingw32-objdump
alignment=$((16#$($objdump_bin -p "$velmora" | awk '/^FileAlignment/ { print $2 }')))
headers=$((16#$($objdump_bin -p "$velmora" | awk '/^SizeOfHeaders/ { print $2 }')))
$objdump_bin -h "$velmora" | awk -v align="$alignment" -v headers="$headers" '
    function hex(text,   i, n) { n = 0; text = tolower(text)
                                 for (i = 1; i <= length(text); i++) n = n * 16 + index("0123456789abcdef", substr(text, i, 1)) - 1
                                 return n }
    /^ *[0-9]+ / { name = $2; size = hex($3); getline flags
                   raw = (flags ~ /CONTENTS/) ? int((size + align - 1) / align) * align : 0
                   if (name == ".text") group = "code"
                   else if (name == ".rsrc") group = "resources"
                   else if (name == ".reloc" || name == ".idata" || name == ".CRT" || name == ".tls") group = "loader"
                   else group = "data"
                   printf "  %-10s %-10s %8d content %8d in file\n", name, group, size, raw
                   content[group] += size; file[group] += raw }
    END { printf "  %-10s %-10s %8s         %8d in file\n", "headers", "", "", headers
          split("code data loader resources", order, " ")
          for (i = 1; i <= 4; i++)
              printf "  = %-19s %8d content %8d in file\n", order[i], content[order[i]], file[order[i]] }'
echo "  (data: .data .rdata .eh_frame .bss; loader: .idata .CRT .tls .reloc)"

# --- Peak memory --------------------------------------------------------------
# Two views of one quantity. "working set" and "private" are what the system
# reports through GetProcessMemoryInfo (PeakWorkingSetSize, PeakPagefileUsage),
# read by bench/launch.exe, which starts the program itself, until it ends.
# Under Wine PeakWorkingSetSize is the Linux high-water mark of resident
# memory (VmHWM) of the process hosting the program, Wine's own code and
# libraries included; so the floors' figures are the part no program avoids.
# "maxrss" is the same high-water mark taken exactly at the end by the kernel
# (GNU time's %M for `wine program` started from the shell; the persistent
# wineserver and Wine's services are not children of it, so it is this one
# process). Both are medians over the runs.
median_of() { printf '%s\n' "$@" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
memory_row() {
    local name=$1; shift
    local i line ws=() pf=() rss=()
    for ((i = 0; i < memory_runs; i++)); do
        line=$("$loader" "$launch" mem "$@" </dev/null 2>/dev/null | tr -d '\r') || true
        if [[ $line =~ peak_working_set=([0-9]+)\ peak_pagefile=([0-9]+)\ samples=([1-9]) ]]; then
            ws+=($((BASH_REMATCH[1] / 1024))); pf+=($((BASH_REMATCH[2] / 1024)))
        fi
        /usr/bin/time -o "$samples/maxrss" -f 'maxrss=%M' "$loader" "$@" </dev/null >/dev/null 2>&1 || true
        line=$(tail -n 1 "$samples/maxrss" 2>/dev/null) || true
        if [[ $line =~ maxrss=([0-9]+) ]]; then rss+=("${BASH_REMATCH[1]}"); fi
    done
    printf '  %-20s %12s %12s %12s\n' "$name" \
        "$( [ ${#ws[@]} -gt 0 ] && median_of "${ws[@]}" || echo -)" \
        "$( [ ${#pf[@]} -gt 0 ] && median_of "${pf[@]}" || echo -)" \
        "$( [ ${#rss[@]} -gt 0 ] && median_of "${rss[@]}" || echo -)"
}
if [ "$memory_runs" -gt 0 ]; then
    echo
    echo "Peak memory, median of $memory_runs runs, KiB"
    printf '  %-20s %12s %12s %12s\n' command "working set" "private" "maxrss"
    memory_row noop "$noop"
    memory_row loader_floor "$loader_floor"
    memory_row drive_probe "$probe"
    memory_row "velmora -L" "$velmora" -L
    memory_row "velmora -H $drive:" "$velmora" -H "$drive:"
    memory_row "velmora -U $drive:" "$velmora" -U "$drive:"
fi

# --- Concurrency --------------------------------------------------------------
# Each copy reads NoDrives, sets its own bit and writes the value back while
# holding Velmora's update lock: a bit missing afterwards is a change lost to
# an overlapping copy, and a copy that could not have the lock in time exits
# with 1 (failed_runs). bench/launch.exe starts the copies suspended and
# resumes them all at once.
if [ "$concurrency" -eq 1 ]; then
    echo
    echo "Concurrency: $copies copies of 'Velmora.exe -H <letter>' at once (letters A..), $rounds rounds, NoDrives reset to 0 each round"
    "$loader" "$launch" race "$velmora" "$copies" "$rounds" </dev/null 2>/dev/null | tr -d '\r' | sed 's/^/  /'
    reg64 add "$policy_key" /v NoDrives /t REG_DWORD /d 0 /f /reg:64
fi
