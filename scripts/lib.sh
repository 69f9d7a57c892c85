# Shared by the project's scripts: paths, and installing what is missing.
# shellcheck shell=bash

VELMORA_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
VELMORA_BUILD=$VELMORA_ROOT/build

# Debian packages each task needs.
VELMORA_BUILD_PACKAGES="cmake make g++ libgtest-dev g++-mingw-w64-i686 binutils-mingw-w64-i686"
VELMORA_WINE_PACKAGES="wine wine32:i386 wine64"
VELMORA_TEST_PACKAGES="python3 python3-pefile clang libclang-rt-14-dev util-linux"
VELMORA_BENCH_PACKAGES="hyperfine valgrind time"

say() { printf '\033[1m==> %s\033[0m\n' "$*"; }

# Installs the named Debian packages that are not installed yet; with all of
# them present it does nothing and touches no package list.
ensure_packages() {
    local missing=() package
    if printf '%s\n' "$@" | grep -q ':i386$' && ! dpkg --print-foreign-architectures | grep -qx i386; then
        say "Adding the i386 architecture for 32-bit Wine"
        dpkg --add-architecture i386
        VELMORA_APT_UPDATED=
    fi
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' \
            || missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "Missing packages: ${missing[*]}; run this script as root, or: sudo apt-get install ${missing[*]}" >&2
        return 1
    fi
    say "Installing ${missing[*]}"
    if [ -z "${VELMORA_APT_UPDATED:-}" ]; then
        apt-get update -q || return 1
        VELMORA_APT_UPDATED=1
    fi
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}" </dev/null
}

# Wine settings for every run: quiet, no Mono or Gecko installer prompts.
wine_environment() {
    export WINEDEBUG=${WINEDEBUG:--all}
    export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
    unset DISPLAY WAYLAND_DISPLAY
}

# Makes the Wine prefix $1 if it does not exist yet (a 64-bit prefix, so a
# 32-bit program runs under WOW64 as on 64-bit Windows).
ensure_wine_prefix() {
    local prefix=$1
    [ -f "$prefix/system.reg" ] && return 0
    say "Creating the Wine prefix $prefix"
    mkdir -p "$(dirname "$prefix")"
    rm -rf "$prefix"
    wine_environment
    WINEPREFIX=$prefix WINEARCH=win64 wineboot -i >/dev/null 2>&1 </dev/null
    WINEPREFIX=$prefix wineserver -w
    [ -f "$prefix/system.reg" ]
}

# Configures (once) and builds the Windows executable in build/win32.
build_win32() {
    if [ ! -f "$VELMORA_BUILD/win32/CMakeCache.txt" ]; then
        cmake -S "$VELMORA_ROOT" -B "$VELMORA_BUILD/win32" \
            -DCMAKE_TOOLCHAIN_FILE="$VELMORA_ROOT/cmake/mingw-w64-i686.cmake" \
            -DCMAKE_BUILD_TYPE=Release >/dev/null || return 1
    fi
    cmake --build "$VELMORA_BUILD/win32" -j "$(nproc)" "$@"
}
