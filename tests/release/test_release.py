#!/usr/bin/python3
"""Checks of the release archive: scripts/release.sh run twice from this
tree, in two build folders, into a temporary folder.

Usage: /usr/bin/python3 test_release.py [unittest options]
"""
import os
import re
import struct
import subprocess
import tempfile
import time
import unittest
import zipfile

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
MACHINES = {"x86/Velmora.exe": 0x14C, "x64/Velmora.exe": 0x8664}
ENTRIES = list(MACHINES) + ["README.txt", "LICENSE.txt", "SHA256SUMS"]

scratch = None
archives = []  # the zip of each run


def setUpModule():
    global scratch
    scratch = tempfile.TemporaryDirectory()
    for run in ("one", "two"):
        out = os.path.join(scratch.name, run)
        subprocess.run([os.path.join(ROOT, "scripts", "release.sh"), "--out", out,
                        "--build", os.path.join(out, "build")],
                       check=True, stdout=subprocess.DEVNULL)
        archives.append(os.path.join(out, *[n for n in os.listdir(out) if n.endswith(".zip")]))


def tearDownModule():
    scratch.cleanup()


class Archive(unittest.TestCase):
    def setUp(self):
        self.zip = zipfile.ZipFile(archives[0])
        self.addCleanup(self.zip.close)

    def test_name_entries_and_times(self):
        with open(os.path.join(ROOT, "VERSION")) as f:
            version = f.readline().strip()
        self.assertEqual(os.path.basename(archives[0]), "velmora-%s-windows.zip" % version)
        self.assertEqual(self.zip.namelist(), ENTRIES)
        commit_time = int(subprocess.run(["git", "-C", ROOT, "log", "-1", "--format=%ct"],
                                         check=True, capture_output=True, text=True).stdout)
        commit_time -= commit_time % 2  # a zip holds even seconds
        self.assertEqual({info.date_time for info in self.zip.infolist()},
                         {time.gmtime(commit_time)[:6]}, "entry times are not the commit's")

    def test_machine_types(self):
        for name, machine in MACHINES.items():
            image = self.zip.read(name)
            header = struct.unpack_from("<I", image, 0x3C)[0]
            self.assertEqual(image[header:header + 4], b"PE\0\0", name)
            self.assertEqual(struct.unpack_from("<H", image, header + 4)[0], machine, name)

    def test_sha256sums_checks_both_executables(self):
        with tempfile.TemporaryDirectory() as unpacked:
            self.zip.extractall(unpacked)
            check = subprocess.run(["sha256sum", "--check", "--strict", "SHA256SUMS"],
                                   cwd=unpacked, capture_output=True, text=True)
        self.assertEqual(check.stdout, "".join("%s: OK\n" % name for name in MACHINES),
                         check.stderr)

    def test_readme_is_plain_text_with_crlf(self):
        text = self.zip.read("README.txt")
        self.assertIn(b"\r\n", text)
        self.assertNotRegex(text.replace(b"\r\n", b""), rb"[\r\n]", "a line end without CR+LF")
        for part in (b"Download and verify", b"Many machines", b"MIT"):
            self.assertIn(part, text)
        for markup in (b"`", b"**", b"|---", b"For developers"):
            self.assertNotIn(markup, text)

    def test_licence_is_mit_with_the_version_blocks_copyright_and_crlf(self):
        with open(os.path.join(ROOT, "resources", "velmora.rc")) as f:
            copyright = re.search(r'"LegalCopyright", "([^"]*)"', f.read()).group(1)
        with open(os.path.join(ROOT, "LICENSE"), "rb") as f:
            licence = f.read()
        self.assertEqual(self.zip.read("LICENSE.txt"), licence.replace(b"\n", b"\r\n"))
        self.assertNotIn(b"\r", licence)
        self.assertTrue(licence.startswith(b"MIT License\n\n%s\n" % copyright.encode()), licence[:60])

    def test_two_builds_give_the_same_bytes(self):
        with open(archives[0], "rb") as one, open(archives[1], "rb") as two:
            self.assertTrue(one.read() == two.read(), "the two archives differ")


if __name__ == "__main__":
    unittest.main()
