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
    record       Windows, the account, the code pages (the one Velmora writes
                 a file in among them), NoDrives before the run
    refusal      the test program without --change-this-machine: status 2
    disk         the NTFS disk labelled "Cl\u00e9 Donn\u00e9es", given a letter, its
                 label read back
    list         Velmora.exe -L: the disk's row, byte for byte
    e2e          the test program with --change-this-machine
    judge        check_results.py on its results; NoDrives as before the run
    remove-disk  the disk removed (run it always)

Everything is kept in the working folder (default: the current one):
the unpacked archives, the disk's letter, the outputs. Exit status 0 when
the step did what it should, else 1 with a line saying what to look at
(as ::error:: on a GitHub runner); also where a program the step started
overran its time and did not end once killed. Python's standard library
only.
"""
import argparse
import codecs
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
# How long a child may take: most are quick; -L ends within its own bound.
CHILD_SECONDS = 5 * 60
LIST_SECONDS = 60
E2E_SECONDS = 20 * 60
# How long a child that overran is waited for once it is killed. One that
# cannot end (a thread stuck in a driver) fails its step instead of holding
# the job until the job's limit.
KILLED_SECONDS = 30


class StepFailed(Exception):
    """What went wrong, and what to look at."""


def Fail(text):
    raise StepFailed(text)


class Machine:
    """Starts Windows programs: directly on Windows, else through the Wine
    launcher, which takes the program and its arguments."""

    def __init__(self, launcher):
        self.launcher = [launcher] if launcher else []

    def Run(self, program, *arguments, timeout=CHILD_SECONDS, **options):
        """The program's exit status and what it wrote to pipes (stdout,
        stderr), or status None when it overran `timeout` and was killed."""
        return RunChild(self.launcher + [program] + list(arguments), timeout, **options)

    def Output(self, program, *arguments):
        """What the program wrote, as text of its ANSI bytes, or None when it failed."""
        status, out, _ = self.Run(program, *arguments, stdout=subprocess.PIPE)
        return out.decode("latin-1") if status == 0 else None

    def Path(self, path):
        """A path of this machine as the Windows programs see it: under Wine
        the Unix root is Z:."""
        path = os.path.abspath(path)
        return "Z:" + path.replace("/", "\\") if self.launcher else path


def RunChild(command, timeout, **options):
    """Machine.Run's answer for any command: a child that overran is killed
    and waited for again, within KILLED_SECONDS, else the step fails."""
    child = subprocess.Popen(command, stdin=subprocess.DEVNULL, **options)
    try:
        out, errors = child.communicate(timeout=timeout)
        return child.returncode, out, errors
    except subprocess.TimeoutExpired:
        child.kill()
    try:
        child.communicate(timeout=KILLED_SECONDS)
    except subprocess.TimeoutExpired:
        Fail("%s ran over %d s, was killed, and did not end within %d s after: it is left running"
             % (" ".join(command), timeout, KILLED_SECONDS))
    return None, None, None


class Job:
    def __init__(self, build, work, machine):
        self.build, self.work, self.machine = build, os.path.abspath(work), machine
        self.velmora = self.File("velmora", build, "Velmora.exe")
        self.tests = self.File("tests", build, "velmora_e2e_tests.exe")

    def File(self, *names):
        return os.path.join(self.work, *names)

    def Kept(self, name, missing):
        """What an earlier step kept in the file `name`; the step fails,
        saying `missing`, where there is no such file."""
        try:
            with open(self.File(name)) as f:
                return f.read().strip()
        except OSError:
            Fail(missing)

    def Letter(self):
        return self.Kept("labelled-drive.txt", "no labelled disk: the disk step did not make one (see its output)")

    def NoDrives(self):
        """The machine's NoDrives as reg prints it, or "none" where reg could
        not find it; any other failure of reg fails the step: a key that
        cannot be read is not one without the value."""
        status, out, errors = self.machine.Run("reg", "query", POLICY_KEY, "/v", "NoDrives",
                                               stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        if status == 0:
            rows = [line.split() for line in out.decode("latin-1").splitlines()]
            return next((" ".join(row[1:]) for row in rows if row[:1] == ["NoDrives"]), "none")
        # Windows' reg says why on its error output, Wine's on its output.
        said = ((out or b"") + (errors or b"")).decode("latin-1").strip()
        if status is not None and "unable to find" in said.lower():
            return "none"
        Fail("reg could not read NoDrives under %s (exit status %s): %s"
             % (POLICY_KEY, status, said or "it said nothing"))

    def OutputCodePage(self):
        return self.Kept("output-code-page.txt", "no output code page was recorded: see the record step")


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
# 437. The registry's values are what a program gets that sets no code page
# of its own. Velmora writes redirected output in the console's output code
# page, or the OEM one where it has no console: recorded for the list step.
def Record(job):
    machine = job.machine
    pages = CodePages(machine)
    output = OutputCodePage(machine, pages["OEMCP"])
    print((machine.Output("cmd", "/c", "ver") or "Windows of unknown version").strip())
    print("ANSI code page %s, OEM code page %s, Velmora writes a file in code page %s"
          % (pages["ACP"], pages["OEMCP"], output))
    with open(job.File("output-code-page.txt"), "w") as f:
        f.write(output)
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


def CodePages(machine):
    pages = {}
    for name in ("ACP", "OEMCP"):
        text = machine.Output("reg", "query", CODE_PAGES, "/v", name) or ""
        pages[name] = next((line.split()[-1] for line in text.splitlines()
                            if line.split()[:1] == [name]), "unknown")
    return pages


# On Windows the job's children share its console, and with it the code page
# GetConsoleOutputCP gives; 0 where there is no console. Under Wine the job is
# a Linux program, and a Windows program whose output goes to a file has no
# console (GetConsoleOutputCP gives 0), so Velmora takes the OEM code page.
def OutputCodePage(machine, oem):
    if machine.launcher:
        return oem
    import ctypes  # Windows alone comes here
    page = ctypes.windll.kernel32.GetConsoleOutputCP()
    return str(page) if page else oem


# Elevated, the test program lists its cases and what it would change,
# changes nothing and exits 2; without administrator rights it says so in
# one line instead.
def Refusal(job):
    status = job.machine.Run(job.tests, job.machine.Path(job.velmora))[0]
    if status is None:
        Fail("the test program did not finish within %d s" % CHILD_SECONDS)
    if status != 2:
        Fail("the test program refused to run here (exit status %d, not 2): see its lines above"
             % status)


def Disk(job):
    letter = MakeWineDrive(job) if job.machine.launcher else MakeVirtualDisk(job)
    with open(job.File("labelled-drive.txt"), "w") as f:
        f.write(letter)
    found = WineLabel(job, letter) if job.machine.launcher else WindowsLabel(letter)
    if found != LABEL:
        Fail("the disk %s: reads back labelled %s, not %s: the label was not set as meant"
             % (letter, ascii(found), ascii(LABEL)))
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
    RunChild([os.environ.get("WINESERVER", "wineserver"), "-k"], CHILD_SECONDS, stderr=subprocess.DEVNULL)
    return letter


# The job is a Linux program here: a Windows program reads the label back,
# cmd's vol, which with its output to a pipe (no console) writes it in the
# ANSI code page: " Volume in drive L is NAME" or "... has no label.".
def WineLabel(job, letter):
    status, out, _ = job.machine.Run("cmd", "/c", "vol", letter + ":", stdout=subprocess.PIPE)
    text = (out or b"").decode(Codec(CodePages(job.machine)["ACP"]), "replace")
    lead = "volume in drive %s " % letter.lower()
    for line in text.splitlines():
        line = line.strip()
        if line.lower().startswith(lead + "is "):
            return line[len(lead) + 3:]
        if line.lower().startswith(lead + "has no label"):
            return ""
    Fail("cmd /c vol %s: gave no label (exit status %s): %s" % (letter, status, ascii(text)))


def WindowsLabel(letter):
    import ctypes  # Windows alone comes here
    kernel32 = ctypes.WinDLL("kernel32", use_last_error=True)
    label = ctypes.create_unicode_buffer(261)
    if not kernel32.GetVolumeInformationW(letter + ":\\", label, 261, None, None, None, None, 0):
        Fail("the label of %s: could not be read back (GetVolumeInformationW: error %d)"
             % (letter, ctypes.get_last_error()))
    return label.value


def Codec(page):
    try:
        return codecs.lookup("cp" + page).name
    except LookupError:
        Fail("Python knows no code page %s" % page)


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
    # In Unicode: diskpart would read the label's bytes in a code page.
    kernel32 = ctypes.WinDLL("kernel32", use_last_error=True)
    if not kernel32.SetVolumeLabelW(letter + ":\\", LABEL):
        Fail("the disk %s: could not be labelled (SetVolumeLabelW: error %d)" % (letter, ctypes.get_last_error()))
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
        "format fs=ntfs quick",
        "assign letter=%s" % letter,
    ]) + "\r\n"


def RunDiskpart(job, script, doing):
    # diskpart reads its script's bytes in the OEM code page (437, as the
    # record step makes sure).
    path = job.File("velmora-diskpart.txt")
    with open(path, "wb") as f:
        f.write(script.encode("cp437"))
    status = job.machine.Run("diskpart", "/s", path)[0]
    if status != 0:
        Fail("diskpart could not %s the disk (exit status %d): see its output above, and %s"
             % (doing, status, path))


# Velmora as an administrator runs it, once, outside any harness, its output
# to a file. The disk's row is compared byte for byte, its columns padded
# as in the listing on screen.
def List(job):
    letter = job.Letter()
    page = job.OutputCodePage()
    with open(job.File("velmora-list.txt"), "wb") as out, \
            open(job.File("velmora-list-errors.txt"), "wb") as errors:
        status = job.machine.Run(job.velmora, "-L", stdout=out, stderr=errors, timeout=LIST_SECONDS)[0]
    listing = ShowFiles(job, "velmora-list.txt", "velmora-list-errors.txt")
    if status is None:
        Fail("Velmora.exe -L did not finish within %d s" % LIST_SECONDS)
    row = (b"\r\n\r\n " + letter.encode() + b":\\" + b" " * 8 + LABEL.encode(Codec(page)) + b" " * 12 +
           b"Local Disk" + b" " * 13 + b"NTFS" + b" " * 14 + b"Visible\r\n")
    if status != 0:
        Fail("Velmora.exe -L exited with status %d, not 0: see its output above" % status)
    if row not in listing:
        Fail("Velmora.exe -L did not list %s: with its label in code page %s, Local Disk, NTFS, "
             "Visible (velmora-list.txt)" % (letter, page))


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
        status = machine.Run(job.tests, *arguments, stdout=out, stderr=errors, timeout=E2E_SECONDS)[0]
    ShowFiles(job, "e2e-output.txt", "e2e-errors.txt")
    if status is None:
        Fail("the test program did not finish within %d minutes: see its output above" % (E2E_SECONDS // 60))
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
