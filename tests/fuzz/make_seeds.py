#!/usr/bin/python3
"""Writes the hand-made seeds of the whole-run fuzzer into corpus/.

Each seed is one machine and one command line, encoded in the layout that
whole_run_fuzzer.cpp decodes (see the comment at its top). Seeds the fuzzer
itself found worth keeping live beside these under their own names; this
script only rewrites the files named seed-*.
"""
import os
import re
import struct
import sys

def read_failable():
    """The fuzzer's kFailable, in order: a seed names a function by its index."""
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), "whole_run_fuzzer.cpp")
    with open(path, encoding="utf-8") as source:
        table = re.search(r"kFailable\[\] = \{(.*?)\};", source.read(), re.S).group(1)
    return re.findall(r'"([^"]+)"', table)


FAILABLE = read_failable()
REG_SZ, REG_BINARY, REG_DWORD, REG_QWORD = 1, 3, 4, 11


def escaped(data):
    """A string for the decoder: backslashes doubled, ended by '\\' '|'."""
    if isinstance(data, str):
        data = data.encode("latin-1")
    return data.replace(b"\\", b"\\\\") + b"\\|"


def seed(args=(), prompt=True, console=True, wow64=2, no_program_name=False,
         key=False, value=None, others=False, attribute=7, drives=(),
         failures=(), lock=0, maker=0):
    """value: (type, bytes) or None; drives: (letter, type, label, fs,
    volume_fails[, no_medium]); failures: (function, error index, call);
    lock: 0 free, 1 held elsewhere, 2 abandoned; maker: who made the lock's
    name (0 nobody or Velmora, 1 LocalSystem, 2 a standard user, 3 an event)."""
    prompt_set = prompt is not False
    prompt_text = "$P$G" if prompt is True else (prompt or "")
    flags = (prompt_set << 0) | (console << 1) | (wow64 << 2) | (no_program_name << 4)
    flags |= (key or value is not None or others) << 5
    flags |= (value is not None) << 6
    flags |= others << 7
    present = 0
    for drive in drives:
        present |= 1 << (ord(drive[0]) - ord("A"))
    out = bytes([flags, len(args) | (lock << 4) | (maker << 6)])
    out += struct.pack("<HII", attribute, value[0] if value else REG_DWORD, present)
    out += bytes([len(failures)])
    for function, error, call in failures:
        out += bytes([FAILABLE.index(function), error, call])
    out += escaped(value[1] if value else b"")
    out += escaped(prompt_text)
    for letter, kind, label, fs, fails, *empty in sorted(drives):
        query = (1 if fails else 0) | (2 if empty and empty[0] else 0)
        out += bytes([kind, query]) + escaped(label) + escaped(fs)
    for arg in args:
        out += escaped(arg)
    return out


def dword(v):
    return (REG_DWORD, struct.pack("<I", v))


MACHINE = [("C", 3, "System", "NTFS", False), ("D", 5, "", "", True, True),
           ("E", 2, "STICK", "FAT32", False), ("Z", 4, "", "", False)]

SEEDS = {
    "no-arguments-prompt": seed(),
    "no-arguments-double-click": seed(prompt=False),
    "help": seed(["-?"]),
    "unknown-switch": seed(["/L"]),
    "list": seed(["-L"], drives=MACHINE, value=dword(0x0C)),
    "list-every-type": seed(["-l"], drives=[
        ("A", 2, "", "", True), ("B", 2, "", "", False), ("C", 3, "", "NTFS", False),
        ("F", 0, "x", "y", False), ("G", 1, "", "", True), ("H", 6, "RAM", "FAT", False),
        ("I", 7, "seven", "?", False), ("J", 255, "", "", False),
        ("K", 3, "L" * 255, "F" * 255, False), ("M", 3, "L" * 256, "NTFS", False),
        ("N", 3, "%s%n%x", "%s", False)], value=(REG_BINARY, b"\x00\x40")),
    "list-unusable-mask": seed(["-L"], drives=MACHINE, value=(REG_SZ, b"12\x00")),
    "list-32bit-view": seed(["-L"], wow64=1, drives=MACHINE, value=dword(0xFFFFFFFF)),
    "hide-new-value": seed(["-H", "e"]),
    "hide-merge": seed(["-h", "D:"], value=dword(0x04), others=True),
    "hide-binary": seed(["-H", "d:\\"], value=(REG_BINARY, b"\x01\x02")),
    "hide-empty-binary": seed(["-H", "Q"], value=(REG_BINARY, b"")),
    "hide-string-kept": seed(["-H", "D:"], value=(REG_SZ, b"4\x00"), others=True),
    "hide-qword-kept": seed(["-H", "D:"], value=(REG_QWORD, b"\x04" + b"\x00" * 7)),
    "hide-long-dword-kept": seed(["-H", "D:"], value=(REG_DWORD, b"\x04\x00\x00\x00\x00")),
    "hide-digit": seed(["-H", "1"]),
    "hide-sign": seed(["-H", "-"]),
    "hide-high-byte": seed(["-H", "\xe9:"]),
    "hide-empty": seed(["-H", ""]),
    "hide-percent": seed(["-H", "d%s%n%s"]),
    "hide-long-argument": seed(["-H", "x" * 100000]),
    "hide-1000": seed(["-u", "Y" + "\\" * 998 + "END"], value=dword(0x01000000)),
    "unhide": seed(["-U", "c"], value=dword(0x0C)),
    "unhide-absent": seed(["-U", "C"]),
    "unhide-all-bits": seed(["-U", "a"], value=dword(0xFFFFFFFF)),
    "switch-with-word": seed(["-L", "word"]),
    "no-program-name": seed(no_program_name=True),
    "four-arguments": seed(["-H", "D:", "extra"]),
    "eight-arguments": seed(["-H", "D:", "a", "b", "c", "d", "e", "f"]),
    "hide-set-fails": seed(["-H", "D"], value=dword(0x04),
                           failures=[("RegSetValueExA", 0, 0)]),
    "hide-create-fails": seed(["-H", "D"], failures=[("RegCreateKeyExA", 0, 0)]),
    "hide-lock-held": seed(["-H", "D"], value=dword(0x04), lock=1),
    "unhide-lock-abandoned": seed(["-U", "c"], value=dword(0x0C), lock=2),
    "hide-lock-create-fails": seed(["-H", "E"], failures=[("CreateMutexA", 0, 0)]),
    "hide-lock-wait-fails": seed(["-H", "E"], failures=[("WaitForSingleObject", 2, 1)]),
    "unhide-release-fails": seed(["-U", "D"], value=dword(0x08),
                                 failures=[("ReleaseMutex", 0, 0), ("CloseHandle", 0, 2)]),
    "unhide-query-fails": seed(["-U", "D"], value=dword(0x08),
                               failures=[("RegQueryValueExA", 3, 1)]),
    "hide-close-fails": seed(["-H", "D"], failures=[("RegCloseKey", 0, 0),
                                                    ("CloseHandle", 2, 0)]),
    "token-fails": seed(["-H", "D"], failures=[("OpenProcessToken", 0, 0)]),
    "privilege-fails": seed(["-U", "D"], failures=[("LookupPrivilegeValueA", 0, 0),
                                                   ("AdjustTokenPrivileges", 0, 1)]),
    "wow64-lookup-fails": seed(["-H", "D"], failures=[("GetProcAddress", 0, 0),
                                                      ("IsWow64Process", 0, 1)]),
    "list-faults": seed(["-L"], drives=MACHINE, value=dword(1),
                        failures=[("RegOpenKeyExA", 1, 0), ("GetVolumeInformationW", 5, 2),
                                  ("GetDriveTypeA", 0, 3)]),
    "list-no-drives": seed(["-L"], failures=[("GetLogicalDrives", 0, 0)]),
    "colour-fails": seed(["-H", ""], failures=[("SetConsoleTextAttribute", 0, 0)]),
    "colour-one-call-fails": seed(["-U", "D"], value=(REG_SZ, b"x"),
                                  failures=[("SetConsoleTextAttribute", 0, 5),
                                            ("GetConsoleScreenBufferInfo", 0, 1)]),
    "no-std-handle": seed(["a", "b", "c", "d"], failures=[("GetStdHandle", 0, 0)]),
    "redirected": seed(["-H", "D"], console=False),
    "red-console": seed(["-H", "1"], attribute=4),
    "blue-background": seed(["-U", "e"], attribute=0x1F, value=dword(0x10)),
    "prompt-read-fails": seed(failures=[("GetEnvironmentVariableA", 0, 0)]),
    "prompt-empty": seed(prompt="", failures=[("_getch", 0, 0)]),
    "prompt-long": seed(prompt="$P" * 150),
    "slash-hide": seed(["/H", "d"], value=dword(0x04)),
    "unhide-last": seed(["/u", "C:"], value=dword(0x04)),
    "unhide-last-delete-fails": seed(["-U", "C"], value=dword(0x04),
                                     failures=[("RegDeleteValueA", 0, 0)]),
    "list-unicode-labels": seed(["/L"], drives=[
        ("C", 3, "Cl\u00e9".encode(), b"NTFS", False),
        ("D", 3, "\u6570\u636e".encode(), b"NTFS", False),
        ("E", 2, b"\xff\xfe", b"FAT", False)]),
    "list-redirected-text-fails": seed(["-L"], console=False, drives=MACHINE,
                                       failures=[("WideCharToMultiByte", 0, 3)]),
    "double-click-shared-console": seed(prompt=False,
                                        failures=[("GetConsoleProcessList", 0, 0)]),
    "double-click-no-user32": seed(prompt=False, failures=[("LoadLibraryA", 0, 0)]),
    "hide-lock-of-local-system": seed(["-H", "E"], value=dword(0x04), maker=1),
    "hide-lock-of-local-system-held": seed(["-H", "E"], lock=1, maker=1),
    "hide-lock-of-user": seed(["-H", "E"], value=dword(0x04), maker=2),
    "unhide-lock-name-is-event": seed(["-U", "C"], value=dword(0x04), maker=3),
    "hide-lock-owner-unreadable": seed(["-H", "E"], failures=[("GetKernelObjectSecurity", 0, 0)]),
    "hide-set-fails-no-message": seed(["-H", "D"], value=dword(0x04),
                                      failures=[("RegSetValueExA", 7, 0), ("FormatMessageW", 0, 0)]),
}


def main():
    folder = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")
    os.makedirs(folder, exist_ok=True)
    for name in os.listdir(folder):
        if name.startswith("seed-"):
            os.remove(os.path.join(folder, name))
    for name, data in SEEDS.items():
        with open(os.path.join(folder, "seed-" + name), "wb") as f:
            f.write(data)
    print(f"{len(SEEDS)} seeds in {folder}", file=sys.stderr)


if __name__ == "__main__":
    main()
