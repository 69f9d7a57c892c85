#!/usr/bin/env bash
# Builds the release archive from the checked-out tree: both executables,
# each in a fresh build folder of its own, packed with README.txt,
# LICENSE.txt and SHA256SUMS into velmora-<version>-windows.zip. The same commit gives the
# same bytes on any machine with the same Debian packages: the archive's
# times are the commit's (or $SOURCE_DATE_EPOCH's), its order and modes fixed.
#
#   scripts/release.sh [--out DIR] [--build DIR]
#
#   --out DIR     where the archive goes (default dist)
#   --build DIR   the build folder; its x86/ and x64/ are made afresh
#                 (default build/release)
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

out=$VELMORA_ROOT/dist
build=$VELMORA_BUILD/release

usage() { sed -n '2,/^set -euo/{/^set -euo/d;s/^# \{0,1\}//;p}' "$0"; }

while [ $# -gt 0 ]; do
    case $1 in
    --out) out=$(realpath -m "$2"); shift 2 ;;
    --build) build=$(realpath -m "$2"); shift 2 ;;
    -h|--help) usage; exit 0 ;;
    *) echo "release.sh: unknown option $1" >&2; usage >&2; exit 2 ;;
    esac
done

ensure_packages $VELMORA_BUILD_PACKAGES git python3

version=$(head -n 1 "$VELMORA_ROOT/VERSION")
commit=$(git -C "$VELMORA_ROOT" rev-parse HEAD)
epoch=${SOURCE_DATE_EPOCH:-$(git -C "$VELMORA_ROOT" log -1 --format=%ct)}
if [ -n "$(git -C "$VELMORA_ROOT" status --porcelain)" ]; then
    echo "release.sh: the tree has changes not committed; the archive is not commit $commit alone" >&2
    commit="$commit, with changes not committed"
fi

for machine in x86 x64; do
    say "Building the $machine executable"
    rm -rf "${build:?}/$machine"
    configure_windows_in "$machine" "$build/$machine"
    cmake --build "$build/$machine" --target Velmora -j "$(nproc)" >/dev/null
done

mkdir -p "$out"
zip=$out/velmora-$version-windows.zip
/usr/bin/python3 -B "$VELMORA_ROOT/scripts/pack_release.py" "$zip" --version "$version" \
    --commit "$commit" --epoch "$epoch" --readme "$VELMORA_ROOT/README.md" \
    --license "$VELMORA_ROOT/LICENSE" \
    --x86 "$build/x86/Velmora.exe" --x64 "$build/x64/Velmora.exe"
say "$zip"
(cd "$out" && sha256sum "${zip##*/}")
