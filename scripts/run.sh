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

ensure_packages $VELMORA_BUILD_PACKAGES
ensure_wine_packages
if [ -z "$build" ]; then
    build=$(native_build)
    [ "$build" = win64 ] && echo "run.sh: $(host_description): running the x64 build" >&2
elif [ "$build" = win32 ] && ! host_runs_x86; then
    echo "run.sh: $(host_description): the x86 build runs under CPU emulation, about 5 s a run" \
         "(a new prefix about half a minute)" >&2
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
set +e
wine_run "$VELMORA_BUILD/$build/Velmora.exe" "$@"
status=$?
set -e
exit $status
