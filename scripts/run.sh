#!/usr/bin/env bash
# Builds Velmora.exe and runs it under Wine with the switches given, as if
# typed at a command prompt, in the project's own prefix (build/wine/run).
#   scripts/run.sh -L        scripts/run.sh -H E:        scripts/run.sh -U E:
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

ensure_packages $VELMORA_BUILD_PACKAGES $VELMORA_WINE_PACKAGES
build_win32 --target Velmora >/dev/null

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
wine "$VELMORA_BUILD/win32/Velmora.exe" "$@"
status=$?
set -e
exit $status
