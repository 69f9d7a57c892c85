#!/usr/bin/env python3
"""The Windows job of .github/workflows/windows.yml, one step a command:
the end-to-end test program of the tests archive against the Velmora.exe of
the release archive, on a labelled disk of its own. The same program runs
on a Windows machine, starting the Windows programs itself, and on Linux,
starting them under Wine through a launcher (scripts/wine.sh), where the
labelled disk is a drive of the Wine prefix.

    python windows_job.py [--build x64] [--work DIR] [--wine LAUNCHER] STEP [DIST]

Steps, in the job's order:
    unpack DIST  the archives in DIST into velmora\\ and tests\\, each checked
                 against its .sha256 and its entries against SHA256SUMS
    record       Windows, the account, the code pages, NoDrives before the run
    refusal      the test program without --change-this-machine: status 2
    disk         the NTFS disk labelled "Cl\u00e9 Donn\u00e9es", given a letter
    list         Velmora.exe -L: the disk's row, byte for byte
    e2e          the test program with --change-this-machine
    judge        check_results.py on its results; NoDrives as before the run
    remove-disk  the disk removed (run it always)

Everything is kept in the working folder (default: the current one):
the unpacked archives, the disk's letter, the outputs. Exit status 0 when
the step did what it should, else 1 with a line saying what to look at
(as ::error:: on a GitHub runner). Python's standard library only.
"""
import argparse
import glob
import hashlib
import os
import shutil
import subprocess
import sys
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import check_results  # noqa: E402

# Written with escapes, so that the encoding this file is read in cannot
# change it. In code page 437, as Velmora writes it to a file, é is 0x82.
LABEL = "Cl\u00e9 Donn\u00e9es"
POLICY_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Policies\Explorer"
CODE_PAGES = r"HKLM\SYSTEM\CurrentControlSet\Control\Nls\CodePage"
VHD_SIZE_MB = 64


class StepFailed(Exception):
    """What went wrong, and what to look at."""


def Fail(text):
    raise StepFailed(text)


class Machine:
    """Starts Windows programs: directly on Windows, else through the Wine
    launcher, which takes the program and its arguments."""

    def __init__(self, launcher):
        self.launcher = [launcher] if launcher else []

    def Run(self, program, *arguments, **options):
        return subprocess.run(self.launcher + [program] + list(arguments), stdin=subprocess.DEVNULL,
                              **options)

    def Output(self, program, *arguments):
        """What the program wrote, as text of its ANSI bytes, or None when it failed."""
        done = self.Run(program, *arguments, stdout=subprocess.PIPE)
        return done.stdout.decode("latin-1") if done.returncode == 0 else None

    def Path(self, path):
        """A path of this machine as the Windows programs see it: under Wine
        the Unix root is Z:."""
        path = os.path.abspath(path)
        return "Z:" + path.replace("/", "\\") if self.launcher else path


class Job:
    def __init__(self, build, work, machine):
        self.build, self.work, self.machine = build, os.path.abspath(work), machine
        self.velmora = self.File("velmora", build, "Velmora.exe")
        self.tests = self.File("tests", build, "velmora_e2e_tests.exe")

    def File(self, *names):
        return os.path.join(self.work, *names)

    def Letter(self):
        try:
            with open(self.File("labelled-drive.txt")) as f:
                return f.read().strip()
        except OSError:
            Fail("no labelled disk: the disk step did not make one (see its output)")

    def NoDrives(self):
        """The machine's NoDrives as reg prints it, or "none"."""
        text = self.machine.Output("reg", "query", POLICY_KEY, "/v", "NoDrives")
        rows = [line.split() for line in (text or "").splitlines()]
        return next((" ".join(row[1:]) for row in rows if row[:1] == ["NoDrives"]), "none")


# ------------------------------------------------------------------ steps

def Unpack(job, dist):
    for kind, folder in (("windows", "velmora"), ("windows-tests", "tests")):
        found = glob.glob(os.path.join(dist, "velmora-*-%s.zip" % kind))
        if len(found) != 1:
            Fail("%s holds %d archives velmora-*-%s.zip, not one: see the download step"
                 % (dist, len(found), kind))
        archive = found[0]
        CheckSum(archive, os.path.dirname(archive), [ArchiveSumLine(archive)])
        try:
            with zipfile.ZipFile(archive) as z:
                z.extractall(job.File(folder))
        except (OSError, zipfile.BadZipFile) as error:
            Fail("%s could not be unpacked (%s)" % (archive, error))
        with open(job.File(folder, "SHA256SUMS")) as f:
            CheckSum(archive, job.File(folder), [line for line in f.read().splitlines() if line])
        print("%s: unpacked into %s, every file as its sums say" % (archive, job.File(folder)))


def ArchiveSumLine(archive):
    """The archive's line of its .sha256, for the archive whatever name the
    line gives."""
    try:
        with open(archive + ".sha256") as f:
            digest = (f.readline().split() or [""])[0]
    except OSError as error:
        Fail("%s.sha256: %s: it comes with the archive, download it too" % (archive, error.strerror))
    return "%s  %s" % (digest, os.path.basename(archive))


def CheckSum(archive, folder, lines):
    """Each line "HASH  NAME" (or "HASH *NAME") holds for the file NAME in folder."""
    for line in lines:
        digest, _, name = line.strip().partition(" ")
        name = name.lstrip(" *")
        path = os.path.join(folder, *name.split("/"))
        try:
            with open(path, "rb") as f:
                actual = hashlib.sha256(f.read()).hexdigest()
        except OSError as error:
            Fail("%s: %s, named in its sums, cannot be read (%s): the archive is not as released"
                 % (archive, name, error.strerror))
        if actual != digest.lower():
            Fail("%s: %s does not match its SHA-256 (%s, not %s): the archive is not as released"
                 % (archive, name, actual, digest))


# The expected bytes rest on the system's code pages: ANSI 1252, in which
# the test program passes "D\xE9j\xE0" on Velmora's command line, and OEM
# 437, in which Velmora writes to a pipe or a file. The registry's values are
# what a program gets that sets no code page of its own; chcp's is the
# console's, and Velmora's children have none there.
def Record(job):
    machine = job.machine
    pages = {}
    for name in ("ACP", "OEMCP"):
        text = machine.Output("reg", "query", CODE_PAGES, "/v", name) or ""
        pages[name] = next((line.split()[-1] for line in text.splitlines()
                            if line.split()[:1] == [name]), "unknown")
    print((machine.Output("cmd", "/c", "ver") or "Windows of unknown version").strip())
    print("ANSI code page %s, OEM code page %s" % (pages["ACP"], pages["OEMCP"]))
    machine.Run("whoami", "/user", "/groups")
    nodrives = job.NoDrives()
    print("NoDrives before the run: %s" % nodrives)
    with open(job.File("nodrives-before.txt"), "w") as f:
        f.write(nodrives)
    differs = ["the %s code page is %s, not %s" % (kind, pages[name], wanted)
               for kind, name, wanted in (("ANSI", "ACP", "1252"), ("OEM", "OEMCP", "437"))
               if pages[name] != wanted]
    if differs:
        Fail("the expected bytes do not hold on this machine: %s" % " and ".join(differs))


# Elevated, the test program lists its cases and what it would change,
# changes nothing and exits 2; without administrator rights it says so in
# one line instead.
def Refusal(job):
    status = job.machine.Run(job.tests, job.machine.Path(job.velmora)).returncode
    if status != 2:
        Fail("the test program refused to run here (exit status %d, not 2): see its lines above"
             % status)


def Disk(job):
    letter = MakeWineDrive(job) if job.machine.launcher else MakeVirtualDisk(job)
    with open(job.File("labelled-drive.txt"), "w") as f:
        f.write(letter)
    print("The disk labelled %s is %s:" % (LABEL, letter))


# A drive of the Wine prefix: a folder linked from dosdevices, its label in
# .windows-label. Wine reads labels when its server starts, so the server
# is ended, and the next program starts one that sees the new drive.
def MakeWineDrive(job):
    devices = os.path.join(os.environ.get("WINEPREFIX", ""), "dosdevices")
    if not os.path.isdir(devices):
        Fail("%s is no Wine prefix's: set WINEPREFIX to the prefix the launcher uses" % devices)
    used = {name[0].upper() for name in os.listdir(devices) if len(name) == 2 and name[1] == ":"}
    letter = FreeLetter(used)
    folder = job.File("labelled-disk")
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, ".windows-label"), "w", encoding="utf-8") as f:
        f.write(LABEL)
    os.symlink(folder, os.path.join(devices, letter.lower() + ":"))
    subprocess.run([os.environ.get("WINESERVER", "wineserver"), "-k"], stderr=subprocess.DEVNULL)
    return letter


def FreeLetter(used):
    free = [letter for letter in "LMNOPQRSTUVWXY" if letter not in used]
    if not free:
        Fail("no drive letter from L: to Y: is free for the labelled disk")
    return free[0]


def VhdPath(job):
    return job.File("velmora-labelled.vhdx")


def MakeVirtualDisk(job):
    import ctypes  # Windows alone comes here
    present = ctypes.windll.kernel32.GetLogicalDrives()
    letter = FreeLetter({chr(ord("A") + i) for i in range(26) if present & (1 << i)})
    if os.path.exists(VhdPath(job)):
        Fail("%s is there already: run remove-disk first" % VhdPath(job))
    RunDiskpart(job, DiskpartScript(VhdPath(job), letter), "make")
    if not os.path.isdir(letter + ":\\"):
        Fail("diskpart made the disk but %s: is not there: see diskpart's output above" % letter)
    return letter


def DiskpartScript(vhd, letter):
    """What diskpart is told to make the labelled disk. A server's disk
    policy may bring a new disk offline and read-only: both are cleared, and
    where the disk is online already diskpart's complaint is ignored."""
    return "\r\n".join([
        'create vdisk file="%s" maximum=%d type=expandable' % (vhd, VHD_SIZE_MB),
        'select vdisk file="%s"' % vhd,
        "attach vdisk",
        "online disk noerr",
        "attributes disk clear readonly",
        "create partition primary",
        'format fs=ntfs label="%s" quick' % LABEL,
        "assign letter=%s" % letter,
    ]) + "\r\n"


def RunDiskpart(job, script, doing):
    # diskpart reads its script's bytes in the OEM code page (437, as the
    # record step makes sure), the label's é among them.
    path = job.File("velmora-diskpart.txt")
    with open(path, "wb") as f:
        f.write(script.encode("cp437"))
    status = job.machine.Run("diskpart", "/s", path).returncode
    if status != 0:
        Fail("diskpart could not %s the disk (exit status %d): see its output above, and %s"
             % (doing, status, path))


# Velmora as an administrator runs it, once, outside any harness, its output
# to a file. The disk's row is compared byte for byte, its columns padded
# as in the listing on screen.
def List(job):
    letter = job.Letter()
    with open(job.File("velmora-list.txt"), "wb") as out, \
            open(job.File("velmora-list-errors.txt"), "wb") as errors:
        try:
            status = job.machine.Run(job.velmora, "-L", stdout=out, stderr=errors, timeout=60).returncode
        except subprocess.TimeoutExpired:
            Fail("Velmora.exe -L did not finish within a minute")
    listing = ShowFiles(job, "velmora-list.txt", "velmora-list-errors.txt")
    row = (b"\r\n\r\n " + letter.encode() + b":\\" + b" " * 8 + LABEL.encode("cp437") + b" " * 12 +
           b"Local Disk" + b" " * 13 + b"NTFS" + b" " * 14 + b"Visible\r\n")
    if status != 0:
        Fail("Velmora.exe -L exited with status %d, not 0: see its output above" % status)
    if row not in listing:
        Fail("Velmora.exe -L did not list %s: with its label in code page 437, Local Disk, NTFS, "
             "Visible (velmora-list.txt)" % letter)


def ShowFiles(job, *names):
    """Writes the files' bytes to this output, and gives the first's."""
    contents = []
    for name in names:
        with open(job.File(name), "rb") as f:
            contents.append(f.read())
        sys.stdout.flush()
        sys.stdout.buffer.write(contents[-1])
    sys.stdout.flush()
    return contents[0]


# Output to files, as the bytes the program wrote, and its results as
# GoogleTest's XML, for the judge.
def E2e(job):
    machine = job.machine
    arguments = ["--change-this-machine", "--labelled-drive", job.Letter() + ":",
                 "--gtest_output=xml:" + machine.Path(job.File("e2e-results.xml")),
                 machine.Path(job.velmora)]
    with open(job.File("e2e-output.txt"), "wb") as out, open(job.File("e2e-errors.txt"), "wb") as errors:
        try:
            status = machine.Run(job.tests, *arguments, stdout=out, stderr=errors,
                                 timeout=20 * 60).returncode
        except subprocess.TimeoutExpired:
            status = None
    ShowFiles(job, "e2e-output.txt", "e2e-errors.txt")
    if status is None:
        Fail("the test program did not finish within 20 minutes: see its output above")
    if status != 0:
        Fail("the test program failed (exit status %d): see its output above and e2e-results.xml"
             % status)


# A green run is one that proved something: no case skipped but those the
# allow-list names, the program's word that it put the machine back, and
# NoDrives as the record step found it.
def Judge(job):
    status = check_results.main([job.File("e2e-results.xml"), job.File("e2e-output.txt")])
    try:
        with open(job.File("nodrives-before.txt")) as f:
            before = f.read()
    except OSError:
        Fail("no NoDrives was recorded before the run: see the record step")
    after = job.NoDrives()
    if after != before:
        Fail("NoDrives is %s after the run, and was %s before it: put it back by hand (%s)"
             % (after, before, POLICY_KEY))
    if status != 0:
        Fail("the end-to-end run did not prove what it should: see the lines above")


def RemoveDisk(job):
    if job.machine.launcher:
        devices = os.path.join(os.environ.get("WINEPREFIX", ""), "dosdevices")
        for name in os.listdir(devices) if os.path.isdir(devices) else []:
            link = os.path.join(devices, name)
            if os.path.islink(link) and os.readlink(link) == job.File("labelled-disk"):
                os.remove(link)
        shutil.rmtree(job.File("labelled-disk"), ignore_errors=True)
    elif os.path.exists(VhdPath(job)):
        RunDiskpart(job, 'select vdisk file="%s"\r\ndetach vdisk noerr\r\n' % VhdPath(job), "detach")
        try:
            os.remove(VhdPath(job))
        except OSError as error:
            Fail("%s could not be deleted (%s): see diskpart's output above" % (VhdPath(job), error.strerror))
    if os.path.exists(job.File("labelled-drive.txt")):
        os.remove(job.File("labelled-drive.txt"))
    print("No labelled disk is left.")


STEPS = {"unpack": Unpack, "record": Record, "refusal": Refusal, "disk": Disk, "list": List,
         "e2e": E2e, "judge": Judge, "remove-disk": RemoveDisk}


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", choices=("x86", "x64"), default="x64")
    parser.add_argument("--work", default=".", help="the working folder (default: the current one)")
    parser.add_argument("--wine", default=os.environ.get("VELMORA_WINE_LAUNCHER"),
                        help="start the Windows programs with this launcher (Linux, Wine)")
    parser.add_argument("step", choices=list(STEPS))
    parser.add_argument("dist", nargs="?", help="unpack: the folder with the archives")
    args = parser.parse_args(argv)
    sys.stdout.reconfigure(line_buffering=True)  # in order with the programs' own output
    if (args.step == "unpack") != (args.dist is not None):
        parser.error("the folder of the archives goes with unpack, and only there")
    job = Job(args.build, args.work, Machine(args.wine))
    try:
        STEPS[args.step](job, *([args.dist] if args.dist else []))
    except StepFailed as failure:
        sys.stdout.flush()
        prefix = "::error::" if os.environ.get("GITHUB_ACTIONS") == "true" else "windows_job.py: "
        print("%s%s: %s." % (prefix, args.step, failure))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
