#!/usr/bin/env python3
"""The Windows job of .github/workflows/windows.yml run here, under Wine, as
a runner runs it: windows_job.py step by step on the archives
scripts/release.sh builds, in a Wine prefix of its own (build/wine/windows-job)
where the labelled disk is a drive of the prefix. First the unpacking step
on archives that are not as released, which must fail it.

The x64 build runs the whole job, and so does the x86 build unless the
command says that this host runs only part of it (--x86-up-to-refusal, which
scripts/test.sh gives where the host runs 64-bit code only): there the x86
build runs under CPU emulation, which crashes -L (its volume queries run on
threads at once) and would take an hour for the end-to-end run, so it runs
up to the refusal. Then a few steps with a launcher standing in for Wine,
each on a machine that must make the step fail.

Usage: python3 test_windows_job.py [--x86-up-to-refusal] (scripts/test.sh runs it)
"""
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
BUILD = os.path.join(ROOT, "build")
WORK = os.path.join(BUILD, "windows-job")
DIST = os.path.join(WORK, "dist")

WHOLE = ["unpack", "record", "refusal", "disk", "list", "e2e", "judge"]
EMULATED = ["unpack", "record", "refusal"]


def Job(build, step, **run):
    command = [sys.executable, os.path.join(HERE, "windows_job.py"), "--build", build,
               "--wine", os.path.join(ROOT, "scripts", "wine.sh"), "--work", os.path.join(WORK, build),
               step] + ([DIST] if step == "unpack" else [])
    return subprocess.run(command, stdin=subprocess.DEVNULL, **run)


def Repack(archive, change):
    """The archive packed again with change(name, data) applied to each
    entry, and its .sha256 written anew, as someone who meant it would."""
    with zipfile.ZipFile(archive) as z:
        entries = [(info.filename, z.read(info)) for info in z.infolist()]
    with zipfile.ZipFile(archive, "w", zipfile.ZIP_DEFLATED) as z:
        for name, data in entries:
            z.writestr(name, change(name, data))
    with open(archive, "rb") as f:
        digest = hashlib.sha256(f.read()).hexdigest()
    with open(archive + ".sha256", "w") as f:
        f.write("%s  %s\n" % (digest, os.path.basename(archive)))


def FlipByte(archive):
    with open(archive, "r+b") as f:
        f.seek(os.path.getsize(archive) // 2)
        byte = f.read(1)
        f.seek(-1, os.SEEK_CUR)
        f.write(bytes([byte[0] ^ 1]))


def ChangeEntry(name):
    return lambda archive: Repack(archive, lambda entry, data: data[:-1] + b"?" if entry == name else data)


def AddSumLine(line):
    return lambda archive: Repack(archive, lambda entry, data: data + line if entry == "SHA256SUMS" else data)


# name, which archive, what is done to it, what the unpack step must say
TAMPERED = [
    ("one byte of the archive changed", "windows", FlipByte, "does not match its SHA-256"),
    ("an executable changed, the archive's .sha256 made anew", "windows",
     ChangeEntry("x64/Velmora.exe"), "x64/Velmora.exe does not match its SHA-256"),
    ("a line of SHA256SUMS naming a file the archive lacks", "windows-tests",
     AddSumLine(b"%s  x64/missing.exe\n" % (b"0" * 64)), "x64/missing.exe, named in its sums, cannot be read"),
]


def CheckTampered():
    failures = []
    for name, kind, tamper, says in TAMPERED:
        with tempfile.TemporaryDirectory() as folder:
            for entry in os.listdir(DIST):
                if entry.endswith((".zip", ".sha256")):
                    shutil.copy(os.path.join(DIST, entry), folder)
            archive = [os.path.join(folder, entry) for entry in os.listdir(folder)
                       if entry.endswith("-%s.zip" % kind)][0]
            tamper(archive)
            command = [sys.executable, os.path.join(HERE, "windows_job.py"), "--work", folder, "unpack", folder]
            done = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, text=True)
        if done.returncode != 1 or says not in done.stdout:
            failures.append("%s: unpack exited with %d, and should fail saying \"%s\":\n%s"
                            % (name, done.returncode, says, done.stdout))
        else:
            print("ok: unpack refuses %s" % name)
    return failures


# As on a runner: the steps in order up to the first that fails; the judge
# where the end-to-end run ran, the disk's removal always.
def RunJob(build, steps):
    shutil.rmtree(os.path.join(WORK, build), ignore_errors=True)
    os.makedirs(os.path.join(WORK, build))
    failed, ran = None, []
    for step in steps:
        if failed and not (step == "judge" and "e2e" in ran):
            continue
        ran.append(step)
        print("==> windows_job.py --build %s %s" % (build, step), flush=True)
        if Job(build, step).returncode != 0 and not failed:
            failed = step
    if Job(build, "remove-disk").returncode != 0:
        failed = failed or "remove-disk"
    return ["%s: the job failed at its %s step (see above)" % (build, failed)] if failed else []


# A launcher standing in for Wine: reg answers the code pages and finds no
# NoDrives, cmd's vol gives the label, all else succeeds; FAKE_ROW breaks one.
FAKE_LAUNCHER = r"""#!/bin/sh
case "$FAKE_ROW $*" in
"reg-denied reg query"*Explorer*) echo "ERROR: Access is denied." >&2; exit 1 ;;
*"reg query"*Explorer*) echo "ERROR: The system was unable to find the specified registry key or value." >&2; exit 1 ;;
*" ACP") printf '    ACP    REG_SZ    1252\r\n' ;;
*" OEMCP") printf '    OEMCP    REG_SZ    437\r\n' ;;
"label-differs cmd /c vol"*) printf ' Volume in drive %s is Cl\351 Donn?es\r\n' "${4%:}" ;;
*"cmd /c vol"*) printf ' Volume in drive %s is Cl\351 Donn\351es\r\n' "${4%:}" ;;
esac
"""

# name, the step, what FAKE_ROW breaks, what the step must say as it fails
BROKEN = [
    ("reg cannot read the policy key", "record", "reg-denied", "ERROR: Access is denied."),
    ("the disk's label reads back otherwise", "disk", "label-differs", "reads back labelled 'Cl\\xe9 Donn?es'"),
]


def CheckBroken():
    failures = []
    for name, step, row, says in BROKEN:
        with tempfile.TemporaryDirectory() as folder:
            launcher = os.path.join(folder, "wine")
            with open(launcher, "w") as f:
                f.write(FAKE_LAUNCHER)
            os.chmod(launcher, 0o755)
            os.makedirs(os.path.join(folder, "prefix", "dosdevices"))
            env = dict(os.environ, FAKE_ROW=row, WINEPREFIX=os.path.join(folder, "prefix"), WINESERVER="true")
            command = [sys.executable, os.path.join(HERE, "windows_job.py"), "--wine", launcher,
                       "--work", folder, step]
            done = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, text=True, env=env)
        if done.returncode != 1 or says not in done.stdout:
            failures.append("%s: %s exited with %d, and should fail saying \"%s\":\n%s"
                            % (name, step, done.returncode, says, done.stdout))
        else:
            print("ok: %s fails where %s" % (step, name))
    return failures


def main(argv):
    if argv not in ([], ["--x86-up-to-refusal"]):
        print(__doc__.strip().splitlines()[-1])
        return 2
    # The archives a release publishes, built as it builds them.
    release = [os.path.join(ROOT, "scripts", "release.sh"), "--out", DIST,
               "--build", os.path.join(WORK, "release")]
    if subprocess.run(release, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL).returncode != 0:
        print("FAILED: scripts/release.sh could not build the archives")
        return 1
    os.environ["WINEPREFIX"] = os.path.join(BUILD, "wine", "windows-job")
    # Wine's null display driver: without an X display Wine makes no windows
    # at all, and the end-to-end program's notice case needs one.
    subprocess.run([os.path.join(ROOT, "scripts", "wine.sh"), "reg", "add", r"HKCU\Software\Wine\Drivers",
                    "/v", "Graphics", "/t", "REG_SZ", "/d", "null", "/f", "/reg:64"],
                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, check=True)
    failures = CheckTampered() + CheckBroken()
    failures += RunJob("x64", WHOLE)
    if argv == ["--x86-up-to-refusal"]:
        print("x86: up to the refusal only (%s of the job's steps), as told: this host runs 64-bit code only"
              % ", ".join(EMULATED))
        failures += RunJob("x86", EMULATED)
    else:
        failures += RunJob("x86", WHOLE)
    for failure in failures:
        print("FAILED: %s" % failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
