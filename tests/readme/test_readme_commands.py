#!/usr/bin/env python3
"""The README's commands for many machines, taken from README.md itself and
run under Wine's cmd against the built Velmora.exe: hide-e.cmd with a share
that cannot be reached and then with one that can, the reg query check and
its bit test, the unhide twin, and the reg delete that undoes everything;
against build/win64 and build/win32 (on a host that runs no 32-bit code,
through the emulated loader: these commands start no listing). Exit status 0 when everything held.

Not run: the findstr lines that read the share (Wine's findstr prints no
line at all, with exit status 0), and everything in PowerShell or needing a
domain.

The README's paths that name another machine are given a folder of the
prefix instead, in one place: SUBSTITUTE. %SystemRoot%\\Temp, where the log
goes, is the prefix's own.
"""
import os
import re
import shutil
import signal
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
PREFIX = os.path.join(ROOT, "build", "wine", "readme")
WINE = os.path.join(ROOT, "scripts", "wine.sh")
# The share: a folder of the prefix, absent at first (unreachable), then made.
SUBSTITUTE = {"\\\\fileserver\\velmora$": "C:\\velmora-share"}
SHARE = os.path.join(PREFIX, "drive_c", "velmora-share")
POLICY = os.path.join(PREFIX, "drive_c", "policy")  # the policy's scripts folder
LOG = os.path.join(PREFIX, "drive_c", "windows", "temp", "velmora.log")
KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Policies\Explorer"


def block_after(readme, marker):
    """The indented code block that first follows the line holding marker,
    without its indent, with the substitutions made."""
    lines = readme.split("\n")
    i = next(i for i, line in enumerate(lines) if marker in line)
    while lines[i].strip():
        i += 1
    while not lines[i].strip():
        i += 1
    indent = len(lines[i]) - len(lines[i].lstrip())
    block = []
    while i < len(lines) and (not lines[i].strip() or lines[i].startswith(" " * indent)):
        block.append(lines[i][indent:])
        i += 1
    text = "\n".join(block).strip("\n")
    for old, new in SUBSTITUTE.items():
        text = text.replace(old, new)
    return text


def words(line):
    """A command line as Windows splits it: at spaces outside quotes, the
    quotes taken out (Wine quotes each word again as it needs)."""
    return [word.replace('"', "") for word in re.findall(r'(?:[^\s"]|"[^"]*")+', line)]


def cmd(*arguments):
    done = subprocess.run([WINE, "cmd", "/c"] + list(arguments), stdin=subprocess.DEVNULL,
                          stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    return done.returncode, done.stdout.decode("latin-1").replace("\r\n", "\n")


def batch(name):
    """Runs a batch file of the policy's folder as a startup script runs it,
    its output nowhere but its log, and gives its exit status."""
    return subprocess.run([WINE, "cmd", "/c", "C:\\policy\\" + name], stdin=subprocess.DEVNULL,
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode


def read(path):
    with open(path, encoding="latin-1") as f:
        return f.read()


failures = []


def check(build, what, ok, shown=""):
    print("%s %s: %s" % ("ok  " if ok else "FAIL", build, what))
    if not ok:
        failures.append("%s: %s" % (build, what))
        if shown:
            print("    " + shown.strip().replace("\n", "\n    "))


def hidden(build, readme, query, expected):
    """The reg query check, then the README's bit test on the value it read."""
    status, output = cmd(*words(query))
    value = re.search(r"NoDrives\s+REG_DWORD\s+(0x[0-9a-fA-F]+)", output)
    check(build, "reg query reads NoDrives", status == 0 and value, output)
    if value:
        test = block_after(readme, "in place of `0x14`").replace("0x14", value.group(1))
        _, answer = cmd(*words(test))
        check(build, "the bit test on %s says E: %s" % (value.group(1), expected),
              answer.strip() == ("16" if expected == "hidden" else "0"), answer)


def main():
    readme = read(os.path.join(ROOT, "README.md"))
    hide = block_after(readme, "Save this batch file as `hide-e.cmd`")
    twin_line = re.search(r"second line `(set DO=[^`]*)`", readme).group(1)
    unhide = re.sub(r"(?m)^set DO=.*$", twin_line, hide, count=1)
    query = block_after(readme, "Read the value instead")
    os.environ["WINEPREFIX"] = PREFIX
    # The prefix made first, by one program alone: two programs started on
    # a missing prefix would each make it, and the second would remove the
    # first's, with whatever the test had put in it.
    cmd("exit", "0")
    # Wine starts its desktop process on demand, from the first program that
    # sends a window message (Velmora's broadcast), and that process keeps
    # the program's inherited handles: started from hide-e.cmd, it would hold
    # the log, and the batch file could no longer append to it ("Sharing
    # violation"), which no Windows does. So the desktop is started first,
    # by a Velmora run of its own, and kept by a program that waits.
    keeper = subprocess.Popen([WINE, "ping", "-n", "3600", "127.0.0.1"], stdin=subprocess.DEVNULL,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                              start_new_session=True)
    try:
        return run(readme, hide, unhide, query)
    finally:
        os.killpg(keeper.pid, signal.SIGTERM)
        keeper.wait()


def run(readme, hide, unhide, query):
    for build in ("win64", "win32"):
        exe = os.path.join(ROOT, "build", build, "Velmora.exe")
        if not os.path.isfile(exe):
            check(build, "Velmora.exe is built", False, exe)
            continue
        shutil.rmtree(SHARE, ignore_errors=True)
        shutil.rmtree(POLICY, ignore_errors=True)
        os.makedirs(POLICY)
        shutil.copy(exe, POLICY)
        for name, text in (("hide-e.cmd", hide), ("unhide-e.cmd", unhide)):
            with open(os.path.join(POLICY, name), "w", newline="\r\n") as f:
                f.write(text + "\n")
        if os.path.exists(LOG):
            os.remove(LOG)
        subprocess.run([WINE, exe, "-H", "E:"], stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        # D: hidden beforehand, so that the value stays when E: is shown again.
        cmd("reg", "add", KEY, "/v", "NoDrives", "/t", "REG_DWORD", "/d", "8", "/f")

        status = batch("hide-e.cmd")
        log = read(LOG)
        check(build, "hide-e.cmd with the share unreachable: exit code 0, logged, marked",
              status == 0 and re.search(r": Velmora\.exe -H E:\n", log)
              and "Successfully Hidden the Drive E:" in log
              and re.search(r": Velmora\.exe -H E:, exit code 0\n", log)
              and "log not copied to C:\\velmora-share" in log and not os.path.exists(SHARE), log)
        hidden(build, readme, query, "hidden")

        os.makedirs(SHARE)
        status = batch("hide-e.cmd")
        copies = os.listdir(SHARE)
        shared = os.path.join(SHARE, copies[0]) if len(copies) == 1 else None
        copy = read(shared) if shared else ""
        check(build, "the next start copies the whole log, the marker too",
              status == 0 and copy == read(LOG) and "log not copied" in copy
              and copy.count("exit code 0") == 2, "%s\n%s" % (copies, copy))

        status = batch("unhide-e.cmd")
        log = read(LOG)
        check(build, "unhide-e.cmd: exit code 0, logged, copied",
              status == 0 and log.endswith(": Velmora.exe -U E:, exit code 0\n")
              and shared and read(shared) == log, log)
        hidden(build, readme, query, "visible")

        status, output = cmd(*words(block_after(readme, "or remove the value outright")))
        check(build, "reg delete removes NoDrives", status == 0 and cmd(*words(query))[0] != 0, output)
    print("readme commands: %s" % ("; ".join(failures) if failures else "all held"))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
