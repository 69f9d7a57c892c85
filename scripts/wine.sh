#!/usr/bin/env bash
# Runs a Windows program under Wine, through the loader that fits the program
# and this host, in a project-local prefix: $WINEPREFIX if set, else
# build/wine/run. CTest's emulator for the Windows test programs.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
export WINEPREFIX=${WINEPREFIX:-$VELMORA_BUILD/wine/run}
wine_environment
ensure_wine_prefix "$WINEPREFIX" || { echo "cannot create the Wine prefix $WINEPREFIX" >&2; exit 1; }
wine_run "$@"
