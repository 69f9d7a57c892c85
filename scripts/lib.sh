# Shared by the project's scripts: paths, and installing what is missing.
# shellcheck shell=bash

VELMORA_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
VELMORA_BUILD=$VELMORA_ROOT/build

# Debian packages each task needs. A script asks for all of its packages in
# one call of ensure_packages, so that apt takes them in one transaction.
VELMORA_BUILD_PACKAGES="cmake make g++ libgtest-dev g++-mingw-w64-i686 binutils-mingw-w64-i686
    g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64"
# One Windows build alone, for run.sh (configuring it needs GoogleTest's
# sources, for the end-to-end program).
VELMORA_BUILD_X86_PACKAGES="cmake make libgtest-dev g++-mingw-w64-i686 binutils-mingw-w64-i686"
VELMORA_BUILD_X64_PACKAGES="cmake make libgtest-dev g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64"
# The release archive and its package manifests; signing it.
VELMORA_RELEASE_PACKAGES="git python3 python3-yaml"
VELMORA_SIGN_PACKAGES="osslsigncode openssl"
VELMORA_TEST_PACKAGES="python3 python3-pefile clang libclang-rt-dev util-linux
    python3-jsonschema $VELMORA_RELEASE_PACKAGES $VELMORA_SIGN_PACKAGES"
VELMORA_BENCH_PACKAGES="hyperfine valgrind time strace"

say() { printf '\033[1m==> %s\033[0m\n' "$*"; }

# Installing what is missing: ensure_packages.
source "$VELMORA_ROOT/scripts/install.sh"

# The Wine packages for running Windows programs of machine $1 (x86 or x64)
# on this host: 64-bit Wine alone for x64 on a host that runs no 32-bit
# code; for x86 the 32-bit Wine too, and on such a host the CPU emulator.
wine_packages() {
    if [ "$1" = x64 ] && ! host_runs_x86; then
        echo "wine wine64"
    elif host_runs_x86; then
        echo "wine wine32:i386 wine64"
    else
        echo "wine wine32:i386 wine64 qemu-user-static"
    fi
}

# Node.js and npm, from Debian where the machine has no node or npm. A Node
# installed from elsewhere is used as it is: NodeSource's, for one, brings
# its own npm, which Debian's npm package would conflict with.
node_packages() {
    command -v node >/dev/null && command -v npm >/dev/null || echo "nodejs npm"
}

# --- The host and its Wine loaders -------------------------------------------
# Some hosts run 32-bit x86 code, some run 64-bit code only (their kernel
# refuses every 32-bit program). Everything that starts Wine asks here which
# loader fits the program and the host; none relies on Debian's `wine`
# wrapper, which always picks the 32-bit loader when it is installed.
#
#   VELMORA_HOST_64BIT_ONLY=1   take the 64-bit-only path on any host
#
# On the 64-bit-only path every Wine program starts from a loader layout of
# our own (build/wine/emulated): a copy of Wine's 64-bit loader, and as its
# 32-bit loader a script that runs the real one under qemu-i386-static. Wine
# finds its 32-bit loader beside the 64-bit one it was started from, so a
# 64-bit program can start 32-bit children, and a prefix made from this
# layout gets its 32-bit half (syswow64) too.

VELMORA_WINE_DIR=/usr/lib/wine
VELMORA_EMULATED_WINE=$VELMORA_BUILD/wine/emulated

# True when 32-bit x86 programs run natively here, asked of the kernel by
# running one before anything is installed: a 93-byte i386 program that only
# exits. A kernel without IA-32 emulation refuses it ("Exec format error").
# Asked once per run of a script and passed on to its children, CTest's
# tests among them.
host_runs_x86() {
    if [ -z "${VELMORA_HOST_X86:-}" ]; then
        local probe=$VELMORA_BUILD/x86-probe
        if [ "${VELMORA_HOST_64BIT_ONLY:-0}" = 1 ]; then
            VELMORA_HOST_X86=forced-no
        else
            mkdir -p "$VELMORA_BUILD"
            # ELF header, one loadable segment at 0x08048000, then
            # mov eax, 1; xor ebx, ebx; int 0x80 (exit(0)).
            { printf '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
              printf '\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00'
              printf '\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00'
              printf '\x00\x80\x04\x08\x00\x80\x04\x08\x5d\x00\x00\x00\x5d\x00\x00\x00\x05\x00\x00\x00'
              printf '\x00\x10\x00\x00\xb8\x01\x00\x00\x00\x31\xdb\xcd\x80'; } >"$probe"
            chmod +x "$probe"
            if "$probe" 2>/dev/null; then VELMORA_HOST_X86=yes; else VELMORA_HOST_X86=no; fi
        fi
        export VELMORA_HOST_X86
    fi
    [ "$VELMORA_HOST_X86" = yes ]
}

# One line on which path this host takes, and why.
host_description() {
    host_runs_x86
    case $VELMORA_HOST_X86 in
    yes) echo "this host runs 32-bit x86 code" ;;
    no) echo "this host runs 64-bit code only" ;;
    *) echo "the 64-bit-only path, forced by VELMORA_HOST_64BIT_ONLY=1" ;;
    esac
}

# The Windows build that runs natively here: win32 where x86 code runs, else win64.
native_build() {
    if host_runs_x86; then echo win32; else echo win64; fi
}

# x86 or x64: what the Windows program $1 is built for. Anything that is not
# a PE file here (a program of the prefix, named by name) counts as x64.
pe_machine() {
    local offset machine
    if [ -f "$1" ]; then
        offset=$(od -An -tu4 -j60 -N4 "$1" 2>/dev/null | tr -d ' ')
        [ -n "$offset" ] && machine=$(od -An -tx2 -j$((offset + 4)) -N2 "$1" 2>/dev/null | tr -d ' ')
    fi
    if [ "${machine:-}" = 014c ]; then echo x86; else echo x64; fi
}

# Makes (once) the loader layout of the 64-bit-only path.
ensure_emulated_wine() {
    local root=$VELMORA_EMULATED_WINE
    local loader=$root/lib/wine/wine
    if [ -x "$loader" ] && cmp -s "$root/lib/wine/wine64" "$VELMORA_WINE_DIR/wine64" &&
       cmp -s "$root/lib/wine/wine32.elf" "$VELMORA_WINE_DIR/wine"; then
        return 0
    fi
    mkdir -p "$root/lib/wine"
    # Copies, not links: Wine takes its folder from the real path of its loader.
    cp "$VELMORA_WINE_DIR/wine64" "$root/lib/wine/wine64"
    cp "$VELMORA_WINE_DIR/wine" "$root/lib/wine/wine32.elf"
    ln -sfn "$VELMORA_WINE_DIR/wineserver" "$root/lib/wine/wineserver"
    ln -sfn /usr/lib/x86_64-linux-gnu "$root/lib/x86_64-linux-gnu"
    ln -sfn /usr/lib/i386-linux-gnu "$root/lib/i386-linux-gnu"
    ln -sfn /usr/share "$root/share"
    # -R: a guest address space just over 2 GiB; with qemu's default of 4 GiB
    # Wine's reservations make every start take about a minute.
    # -0: Wine restarts 32-bit children through this script.
    # WINELOADERNOEXEC: the real loader must not re-execute itself natively.
    cat >"$loader.new" <<SCRIPT
#!/bin/sh
# Wine's 32-bit loader under CPU emulation, for hosts that run no 32-bit code.
WINELOADERNOEXEC=1 exec qemu-i386-static -R 0x80400000 -0 '$loader' '$root/lib/wine/wine32.elf' "\$@"
SCRIPT
    chmod +x "$loader.new"
    mv "$loader.new" "$loader"
}

# The loader for programs of machine $1 (x86 or x64) on this host.
wine_loader() {
    if host_runs_x86; then
        if [ "$1" = x86 ]; then echo "$VELMORA_WINE_DIR/wine"; else echo "$VELMORA_WINE_DIR/wine64"; fi
    elif [ "$1" = x64 ] && [ ! -e "$VELMORA_WINE_DIR/wine" ]; then
        # Only the 64-bit Wine is installed (run.sh of the x64 build).
        echo "$VELMORA_WINE_DIR/wine64"
    else
        ensure_emulated_wine || return 1
        if [ "$1" = x86 ]; then echo "$VELMORA_EMULATED_WINE/lib/wine/wine"
        else echo "$VELMORA_EMULATED_WINE/lib/wine/wine64"; fi
    fi
}

# Runs the Windows program $1 (a file, or a program of the prefix by name)
# with its arguments under the loader that fits it.
wine_run() {
    local loader
    loader=$(wine_loader "$(pe_machine "$1")") || return 1
    "$loader" "$@"
}

# The prefix's wineserver (-k, -w, -p).
wine_server() {
    "$VELMORA_WINE_DIR/wineserver" "$@"
}

# Wine settings for every run: quiet, no Mono or Gecko installer prompts, and
# no loader chosen from outside.
wine_environment() {
    export WINEDEBUG=${WINEDEBUG:--all}
    export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
    unset DISPLAY WAYLAND_DISPLAY WINELOADER
    # Wine reads file names and drive labels in the locale's character set,
    # and takes its code pages from the locale: one UTF-8 locale for every
    # run, whatever the shell has (a fresh Debian has no LANG at all, and
    # then reads the label "Clé" as "ClC)").
    export LC_ALL=C.UTF-8
    # Wine 10 asks libwayland for a display whatever WAYLAND_DISPLAY says,
    # and libwayland looks for it in XDG_RUNTIME_DIR: where that is not an
    # absolute path (root in a chroot or a CI container has none) it writes
    # "error: XDG_RUNTIME_DIR is invalid or not set in the environment." to
    # standard error; where it is the desktop's, it finds the desktop. A
    # private, empty folder of our own: no display, and nothing said.
    export XDG_RUNTIME_DIR=$VELMORA_BUILD/wine/runtime
    mkdir -p -m 0700 "$XDG_RUNTIME_DIR"
}

# Makes the Wine prefix $1 if it does not exist yet: a 64-bit prefix, so a
# 32-bit program runs under WOW64 as on 64-bit Windows. Made by the 64-bit
# loader of this host's path, so that its 32-bit half is installed as well.
# A prefix made while only the 64-bit Wine was installed has no 32-bit half,
# and cannot be given one later: once the 32-bit Wine is there it is made anew.
ensure_wine_prefix() {
    local prefix=$1
    if [ -f "$prefix/system.reg" ]; then
        [ -f "$prefix/drive_c/windows/syswow64/kernel32.dll" ] || [ ! -e "$VELMORA_WINE_DIR/wine" ] && return 0
        say "The Wine prefix $prefix has no 32-bit half; making it anew"
    fi
    say "Creating the Wine prefix $prefix"
    mkdir -p "$(dirname "$prefix")"
    rm -rf "$prefix"
    wine_environment
    WINEPREFIX=$prefix WINEARCH=win64 wine_run wineboot -i >/dev/null 2>&1 </dev/null
    WINEPREFIX=$prefix wine_server -w
    [ -f "$prefix/system.reg" ]
}

# Configures a Windows build for x86 or x64 ($1) in the folder $2, with any
# further cache settings given.
configure_windows_in() {
    local toolchain=i686
    [ "$1" = x64 ] && toolchain=x86_64
    cmake -S "$VELMORA_ROOT" -B "$2" \
        -DCMAKE_TOOLCHAIN_FILE="$VELMORA_ROOT/cmake/mingw-w64-$toolchain.cmake" \
        -DCMAKE_BUILD_TYPE=Release "${@:3}" >/dev/null
}

# Configures the Windows build $1, win32 (x86) or win64 (x64), in build/$1,
# with any further cache settings given.
configure_windows() {
    local machine=x86
    [ "$1" = win64 ] && machine=x64
    configure_windows_in "$machine" "$VELMORA_BUILD/$1" "${@:2}"
}

# Configures (once) and builds the Windows build $1; further arguments go to
# `cmake --build`.
build_windows() {
    local name=$1
    shift
    [ -f "$VELMORA_BUILD/$name/CMakeCache.txt" ] || configure_windows "$name" || return 1
    cmake --build "$VELMORA_BUILD/$name" -j "$(nproc)" "$@"
}
