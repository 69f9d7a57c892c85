#!/usr/bin/env bash
# Makes a fresh Wine prefix for the end-to-end tests at $1.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
prefix=${1:?usage: make-test-prefix.sh PREFIX}
[ -n "${WINEPREFIX:-}" ] && [ "$WINEPREFIX" != "$prefix" ] && WINEPREFIX=$WINEPREFIX wineserver -k 2>/dev/null || true
WINEPREFIX=$prefix wineserver -k 2>/dev/null || true
rm -rf "$prefix"
ensure_wine_prefix "$prefix"
