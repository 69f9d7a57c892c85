#!/usr/bin/env bash
# Builds Velmora.exe and runs it under Wine with the switches given, as if
# typed at a command prompt, in the project's own prefix (build/wine/run).
#   scripts/run.sh -L        scripts/run.sh -H E:        scripts/run.sh -U E:
#   scripts/run.sh --x64 -L  scripts/run.sh --x86 -L     (pick a build)
# Without --x86 or --x64 it runs the build this host runs natively: x86 where
# the host runs 32-bit code, else x64.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

build=
case ${1:-} in
--x86) build=win32; shift ;;
--x64) build=win64; shift ;;
esac

if [ -z "$build" ]; then
    build=$(native_build)
    [ "$build" = win64 ] && echo "run.sh: $(host_description): running the x64 build" >&2
elif [ "$build" = win32 ] && ! host_runs_x86; then
    echo "run.sh: $(host_description): the x86 build runs under CPU emulation, about 5 s a run" \
         "(a new prefix about half a minute)" >&2
fi
# What this build needs and no more: the x64 build on a host that runs no
# 32-bit code wants neither the i386 architecture nor the 32-bit Wine.
if [ "$build" = win32 ]; then
    ensure_packages $VELMORA_BUILD_X86_PACKAGES $(wine_packages x86) || exit 1
else
    ensure_packages $VELMORA_BUILD_X64_PACKAGES $(wine_packages x64) || exit 1
fi
build_windows "$build" --target Velmora >/dev/null

export WINEPREFIX=$VELMORA_BUILD/wine/run
wine_environment
ensure_wine_prefix "$WINEPREFIX"

# A labelled demonstration drive D:, so that -L has more to show than C: and Z:.
demo=$VELMORA_BUILD/wine/demo-drive
if [ ! -e "$WINEPREFIX/dosdevices/d:" ]; then
    mkdir -p "$demo"
    printf 'Velmora Demo\n' >"$demo/.windows-label"
    ln -s "$demo" "$WINEPREFIX/dosdevices/d:"
fi

# cmd.exe always sets PROMPT; the tool uses it to tell it was started from a prompt.
export PROMPT='$P$G'

# Wine writes messages of its own to standard error, WINEDEBUG or not: -L
# asks for every drive's label, and for Z: (the prefix's view of /) Wine
# says "wine: Read access denied for device ...", which would land in the
# middle of Velmora's screen; so would the Wayland library's complaint of a
# missing XDG_RUNTIME_DIR, should it come (wine_environment gives Wine one).
# Velmora writes to standard output only, which stays the terminal. Wine's
# lines go to build/wine/run.log; any other line on standard error is passed
# on as it comes. Should Velmora not have run (a status other than its own 0
# and 1), what Wine said is shown.
log=$VELMORA_BUILD/wine/run.log
: >"$log"
set +e
{ wine_run "$VELMORA_BUILD/$build/Velmora.exe" "$@" 2>&1 >&3 3>&- |
    awk -v file="$log" '/^wine|^[0-9a-f]+:(err|warn|fixme|trace):|^error: XDG_RUNTIME_DIR/ { print >file; next }
                       { print; fflush() }' >&2 3>&-; } 3>&1
status=${PIPESTATUS[0]}
set -e
if [ "$status" -gt 1 ] && [ -s "$log" ]; then
    echo "run.sh: Velmora.exe ended with status $status; Wine said:" >&2
    cat "$log" >&2
fi
exit "$status"
