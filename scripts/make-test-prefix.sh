#!/usr/bin/env bash
# Makes a fresh Wine prefix for the end-to-end tests at $1, with extra drives
# for the listing: each is a folder under $1/drives linked from
# $1/dosdevices, its volume label in a .windows-label file at its root, its
# kind (when not a fixed disk) set under HKLM\Software\Wine\Drives.
#
#   A:  no label               Wine makes A: and B: floppy drives
#   D:  "Velmora Data"         fixed disk
#   E:  label of 30 characters fixed disk
#   F:  "VELMORA_CD"           CD-ROM
#   G:  no label               CD-ROM
#   H:  no label               "floppy", which Wine reports as removable beyond B:
#   K:  the link leads nowhere
#   L:  "Clé"                  fixed disk, a label beyond ASCII
#   N:  no label               network drive
#   R:  no label               RAM disk
# C: and Z: are Wine's own. Windows are made by Wine's null display driver.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
prefix=${1:?usage: make-test-prefix.sh PREFIX}
WINEPREFIX=$prefix wine_server -k 2>/dev/null || true
rm -rf "$prefix"
ensure_wine_prefix "$prefix"

add_drive() {
    local letter=$1 label=${2-}
    mkdir -p "$prefix/drives/$letter"
    [ -n "$label" ] && printf '%s' "$label" >"$prefix/drives/$letter/.windows-label"
    ln -sfn "../drives/$letter" "$prefix/dosdevices/$letter:"
}
add_drive a
add_drive d "Velmora Data"
add_drive e "Quarterly Reports Archive 2026"
add_drive f "VELMORA_CD"
add_drive g
add_drive h
add_drive l "Clé"
add_drive n
add_drive r
ln -sfn ../drives/missing "$prefix/dosdevices/k:"

# Wine's mount manager reads the drive kinds once, when it starts, from the
# 64-bit view: the 64-bit reg.exe, with /reg:64 to say so.
export WINEPREFIX=$prefix
wine_environment
for setting in f:cdrom g:cdrom h:floppy n:network r:ramdisk; do
    wine_run reg add 'HKLM\Software\Wine\Drives' /v "${setting%%:*}:" /t REG_SZ \
        /d "${setting#*:}" /f /reg:64 >/dev/null </dev/null
done
# Wine's null display driver: without an X display Wine otherwise makes no
# windows at all, so no top-level window could receive a broadcast and a
# new console would have no window.
wine_run reg add 'HKCU\Software\Wine\Drivers' /v Graphics /t REG_SZ /d null /f /reg:64 \
    >/dev/null </dev/null
# The mark by which the end-to-end program knows this prefix, in the 64-bit
# view: in any other prefix it behaves as on a Windows machine.
wine_run reg add 'HKLM\Software\VelmoraE2ETests' /v TestPrefix /t REG_SZ \
    /d 'made by scripts/make-test-prefix.sh' /f /reg:64 >/dev/null </dev/null
# Let this server end (saving the registry) so the next one starts the mount
# manager afresh with the new drives.
wine_server -w

# Wine shares the Explorer policy key between the two registry views: it makes
# Software\Wow6432Node\Microsoft\Windows\CurrentVersion\Policies a link to the
# 64-bit Policies key. Cut that link (the server is down, so its saved
# registry can be edited): the 32-bit view then gets a Policies key of its
# own, redirected like the rest of HKLM\Software, and the tests can tell which
# view Velmora reads and writes.
/usr/bin/python3 - "$prefix/system.reg" <<'PYTHON'
import re, sys
path = sys.argv[1]
with open(path, encoding="latin-1", newline="") as f:
    text = f.read()
link = re.compile(
    r'(\[Software\\\\Wow6432Node\\\\Microsoft\\\\Windows\\\\CurrentVersion\\\\Policies\] [0-9]+\n'
    r'(?:#time=[0-9a-f]+\n)?)#link\n"SymbolicLinkValue"=hex\(6\):(?:[^\n]*\\\n)*[^\n]*\n')
text, count = link.subn(r"\1", text)
if count != 1:
    sys.exit("make-test-prefix.sh: the link of the 32-bit Policies key was not found")
with open(path, "w", encoding="latin-1", newline="") as f:
    f.write(text)
PYTHON
