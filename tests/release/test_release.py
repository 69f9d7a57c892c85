#!/usr/bin/python3
"""Checks of the release archive, the tests archive and the package
manifests: scripts/release.sh run twice from this tree, in two build
folders, into a temporary folder (the second for a release on GitHub), and
a third time signing with a throw-away certificate whose key is encrypted,
for another download address.

Usage: /usr/bin/python3 test_release.py [unittest options]
"""
import hashlib
import json
import os
import re
import struct
import subprocess
import tempfile
import time
import unittest
import zipfile

import jsonschema
import yaml

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.join(HERE, "..", "..")
MACHINES = {"x86": 0x14C, "x64": 0x8664}
# Each archive written by a run: its name's end, the executable of each build
# (where it is in a build folder), its entries after the executables, and
# what its read-me must say.
ARCHIVES = {
    "windows": ("Velmora.exe", ["README.txt", "LICENSE.txt", "TOOLCHAIN.txt", "SHA256SUMS"],
                (b"Download and verify", b"Many machines", b"MIT", b"TOOLCHAIN.txt")),
    "windows-tests": ("tests/e2e/velmora_e2e_tests.exe",
                      ["README-TESTS.txt", "TOOLCHAIN.txt", "SHA256SUMS"],
                      (b"--change-this-machine", b"--restore-backup", b"Global\\Velmora.NoDrives",
                       b"Group Policy", b"GoogleTest")),
}

PASSWORD = "throw-away password"
URL_BASE = "https://downloads.example.org/velmora/"  # the signed run's
GITHUB = "example-org/velmora"  # the second unsigned run's
NOT_READY = b"release.sh: the manifests name no public address"
with open(os.path.join(ROOT, "VERSION")) as f:
    VERSION = f.readline().strip()

scratch = None
outs = []  # the folder of each unsigned run
errors = []  # what each unsigned run wrote to stderr
signing = {}  # the signed run: its folder, certificate, key, password file, output


def release(out, *options, **run):
    """scripts/release.sh into out (its build folder inside), never on a terminal."""
    return subprocess.run([os.path.join(ROOT, "scripts", "release.sh"), "--out", out,
                           "--build", os.path.join(out, "build")] + list(options),
                          stdin=subprocess.DEVNULL, start_new_session=True, **run)


def zip_in(folder, kind="windows"):
    return os.path.join(folder, "velmora-%s-%s.zip" % (VERSION, kind))


def executables(kind):
    """Each build's executable in the archive of this kind."""
    name = os.path.basename(ARCHIVES[kind][0])
    return [machine + "/" + name for machine in MACHINES]


def entries(kind):
    return executables(kind) + ARCHIVES[kind][1]


def setUpModule():
    global scratch
    scratch = tempfile.TemporaryDirectory()
    for run, options in (("one", []), ("two", ["--github", GITHUB])):
        out = os.path.join(scratch.name, run)
        run = release(out, *options, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        if run.returncode:
            raise RuntimeError("release.sh %s failed:\n%s"
                               % (" ".join(options), run.stderr.decode(errors="replace")))
        errors.append(run.stderr)
        outs.append(out)

    keys = os.path.join(scratch.name, "keys")
    os.mkdir(keys)
    signing.update(out=os.path.join(scratch.name, "signed"), cert=os.path.join(keys, "cert.pem"),
                   key=os.path.join(keys, "key.pem"), pass_file=os.path.join(keys, "password"))
    with open(signing["pass_file"], "w") as f:
        f.write(PASSWORD + "\n")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-days", "2",
                    "-subj", "/CN=Velmora release test", "-addext", "extendedKeyUsage=codeSigning",
                    "-keyout", signing["key"], "-passout", "file:" + signing["pass_file"],
                    "-out", signing["cert"]], check=True, capture_output=True)
    run = release(signing["out"], "--sign-cert", signing["cert"], "--sign-key", signing["key"],
                  "--sign-pass-file", signing["pass_file"], "--url-base", URL_BASE,
                  stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    signing["output"] = run.stdout
    if run.returncode:
        raise RuntimeError("the signed release failed:\n" + run.stdout.decode(errors="replace"))


def tearDownModule():
    scratch.cleanup()


def commit_time():
    return int(subprocess.run(["git", "-C", ROOT, "log", "-1", "--format=%ct"],
                              check=True, capture_output=True, text=True).stdout)


def check_manifests(test, archive, url, github=None):
    """The manifests beside archive: valid by the project's schema of the two
    formats, for VERSION, released on the commit's date, and naming this
    archive at url, its hash and its builds. For a release on GitHub, every
    address is the repository's own, and Scoop can find the next release."""
    out, name = os.path.split(archive)
    with open(archive, "rb") as f:
        sha256 = hashlib.sha256(f.read()).hexdigest()
    with open(archive + ".sha256") as f:
        test.assertEqual(f.read(), "%s  %s\n" % (sha256, name))
    with open(os.path.join(HERE, "manifests.schema.json")) as f:
        schema = json.load(f)
    jsonschema.Draft7Validator.check_schema(schema)

    def valid(document, kind):
        jsonschema.Draft7Validator(dict(schema, **{"$ref": "#/definitions/" + kind}),
                                   format_checker=jsonschema.Draft7Validator.FORMAT_CHECKER
                                   ).validate(document)
        return document

    winget = os.path.join(out, "winget")
    test.assertEqual(sorted(os.listdir(winget)), ["Brannoch.Velmora.installer.yaml",
                                                  "Brannoch.Velmora.locale.en-US.yaml",
                                                  "Brannoch.Velmora.yaml"])
    documents = []
    for file, kind in (("yaml", "wingetVersion"), ("installer.yaml", "wingetInstaller"),
                       ("locale.en-US.yaml", "wingetDefaultLocale")):
        with open(os.path.join(winget, "Brannoch.Velmora." + file)) as f:
            # Every value a string, as winget reads them (a date too).
            documents.append(valid(yaml.load(f, Loader=yaml.BaseLoader), kind))
    test.assertEqual({d["PackageVersion"] for d in documents}, {VERSION})
    installer, locale = documents[1:]
    test.assertEqual((installer["InstallerType"], installer["NestedInstallerType"]), ("zip", "portable"))
    test.assertEqual(installer["ReleaseDate"], time.strftime("%Y-%m-%d", time.gmtime(commit_time())))
    test.assertEqual([(i["Architecture"], i["NestedInstallerFiles"], i["InstallerUrl"],
                       i["InstallerSha256"]) for i in installer["Installers"]],
                     [(machine, [{"RelativeFilePath": machine + "\\Velmora.exe",
                                  "PortableCommandAlias": "velmora"}], url, sha256.upper())
                      for machine in ("x86", "x64")])

    with open(os.path.join(out, "velmora.json")) as f:
        scoop = valid(json.load(f), "scoop")
    test.assertEqual((scoop["version"], scoop["url"], scoop["hash"]), (VERSION, url, sha256))
    test.assertEqual(scoop["architecture"], {"64bit": {"bin": "x64\\Velmora.exe"},
                                             "32bit": {"bin": "x86\\Velmora.exe"}})
    test.assertEqual(scoop["autoupdate"]["url"].replace("$version", VERSION), url)
    test.assertEqual(scoop["autoupdate"]["hash"], {"url": "$url.sha256"})
    if not github:
        test.assertNotIn("checkver", scoop)
        return
    home = "https://github.com/" + github
    tag = "/releases/tag/v" + VERSION
    test.assertEqual(scoop["checkver"], "github")
    test.assertEqual(scoop["homepage"], home)
    test.assertEqual({field: locale.get(field) for field in (
        "PackageUrl", "PublisherSupportUrl", "LicenseUrl", "ReleaseNotesUrl")},
        {"PackageUrl": home, "PublisherSupportUrl": home + "/issues",
         "LicenseUrl": home + "/blob/v%s/LICENSE" % VERSION, "ReleaseNotesUrl": home + tag})
    addresses = re.findall(r"https?://[^\s'\"]+", json.dumps([documents, scoop]))
    test.assertEqual([a for a in addresses if not (a + "/").startswith(home + "/")], [],
                     "addresses outside the repository")


class Archive(unittest.TestCase):
    """The checks that hold for both archives run on each, as a subtest."""

    def test_entries_times_and_sha256_file(self):
        entry_time = commit_time() - commit_time() % 2  # a zip holds even seconds
        for kind in ARCHIVES:
            with self.subTest(kind), zipfile.ZipFile(zip_in(outs[0], kind)) as archive:
                self.assertEqual(archive.namelist(), entries(kind))
                self.assertEqual({info.date_time for info in archive.infolist()},
                                 {time.gmtime(entry_time)[:6]}, "entry times are not the commit's")
                with open(archive.filename, "rb") as f:
                    sha256 = hashlib.sha256(f.read()).hexdigest()
                with open(archive.filename + ".sha256") as f:
                    self.assertEqual(f.read(), "%s  %s\n" % (sha256, os.path.basename(archive.filename)))

    def test_machine_types(self):
        for kind in ARCHIVES:
            with self.subTest(kind), zipfile.ZipFile(zip_in(outs[0], kind)) as archive:
                for name, machine in zip(executables(kind), MACHINES.values()):
                    image = archive.read(name)
                    header = struct.unpack_from("<I", image, 0x3C)[0]
                    self.assertEqual(image[header:header + 4], b"PE\0\0", name)
                    self.assertEqual(struct.unpack_from("<H", image, header + 4)[0], machine, name)

    def test_sha256sums_checks_both_executables_and_the_toolchain(self):
        for kind in ARCHIVES:
            with self.subTest(kind), zipfile.ZipFile(zip_in(outs[0], kind)) as archive, \
                    tempfile.TemporaryDirectory() as unpacked:
                archive.extractall(unpacked)
                check = subprocess.run(["sha256sum", "--check", "--strict", "SHA256SUMS"],
                                       cwd=unpacked, capture_output=True, text=True)
                self.assertEqual(check.stdout, "".join("%s: OK\n" % name for name in
                                                       executables(kind) + ["TOOLCHAIN.txt"]),
                                 check.stderr)
                with open("/etc/os-release") as f:
                    release = re.search(r'^VERSION_ID="?(\w+)', f.read(), re.M).group(1)
                self.assertIn(b"built on Debian %s (" % release.encode(),
                              archive.read("TOOLCHAIN.txt"), "not this host's release")

    def test_readme_is_plain_text_with_crlf_and_names_the_commit(self):
        commit = subprocess.run(["git", "-C", ROOT, "rev-parse", "HEAD"],
                                check=True, capture_output=True).stdout.strip()
        for kind, (_, (readme, *_), parts) in ARCHIVES.items():
            with self.subTest(kind), zipfile.ZipFile(zip_in(outs[0], kind)) as archive:
                text = archive.read(readme)
                self.assertIn(b"\r\n", text)
                self.assertNotRegex(text.replace(b"\r\n", b""), rb"[\r\n]", "a line end without CR+LF")
                for part in parts + (b"Built from commit " + commit, VERSION.encode()):
                    self.assertIn(part, text)
                for markup in (b"`", b"**", b"|---", b"For developers"):
                    self.assertNotIn(markup, text)

    def test_licence_is_mit_with_the_version_blocks_copyright_and_crlf(self):
        with open(os.path.join(ROOT, "resources", "velmora.rc")) as f:
            copyright = re.search(r'"LegalCopyright", "([^"]*)"', f.read()).group(1)
        with open(os.path.join(ROOT, "LICENSE"), "rb") as f:
            licence = f.read()
        with zipfile.ZipFile(zip_in(outs[0])) as archive:
            self.assertEqual(archive.read("LICENSE.txt"), licence.replace(b"\n", b"\r\n"))
        self.assertNotIn(b"\r", licence)
        self.assertTrue(licence.startswith(b"MIT License\n\n%s\n" % copyright.encode()), licence[:60])

    def test_manifests_for_the_archive_at_the_default_address_say_they_are_not_ready(self):
        check_manifests(self, zip_in(outs[0]), "https://velmora.example.com/download/%s/%s"
                        % (VERSION, os.path.basename(zip_in(outs[0]))))
        self.assertEqual([line for line in errors[0].split(b"\n") if line.startswith(NOT_READY)],
                         [errors[0].rstrip(b"\n").split(b"\n")[-1]], errors[0])

    def test_manifests_for_a_release_on_github(self):
        name = os.path.basename(zip_in(outs[1]))
        check_manifests(self, zip_in(outs[1]), "https://github.com/%s/releases/download/v%s/%s"
                        % (GITHUB, VERSION, name), GITHUB)
        self.assertNotIn(NOT_READY, errors[1])

    def test_two_builds_give_the_same_bytes_wherever_they_are_published(self):
        for kind in ARCHIVES:
            with open(zip_in(outs[0], kind), "rb") as one, open(zip_in(outs[1], kind), "rb") as two:
                self.assertTrue(one.read() == two.read(), "the two %s archives differ" % kind)


class Signed(unittest.TestCase):
    def test_manifests_for_the_signed_archive_at_the_given_address(self):
        check_manifests(self, zip_in(signing["out"]), URL_BASE + os.path.basename(zip_in(signing["out"])))

    def test_signatures_verify_and_removed_give_back_the_unsigned_build(self):
        for kind, (built_as, _, _) in ARCHIVES.items():
            with self.subTest(kind), tempfile.TemporaryDirectory() as unpacked, \
                    zipfile.ZipFile(zip_in(signing["out"], kind)) as signed, \
                    zipfile.ZipFile(zip_in(outs[0], kind)) as plain:
                self.assertEqual(signed.namelist(), entries(kind))
                signed.extractall(unpacked)
                check = subprocess.run(["sha256sum", "--check", "--strict", "SHA256SUMS"],
                                       cwd=unpacked, capture_output=True, text=True)
                self.assertEqual(check.returncode, 0, check.stdout + check.stderr)
                for name in executables(kind):
                    path = os.path.join(unpacked, name)
                    verify = subprocess.run(["osslsigncode", "verify", "-CAfile", signing["cert"],
                                             "-in", path], capture_output=True, text=True)
                    self.assertEqual(verify.returncode, 0, verify.stdout + verify.stderr)
                    self.assertRegex(verify.stdout, r"Message digest algorithm\s*: SHA256")
                    subprocess.run(["osslsigncode", "remove-signature", "-in", path, "-out", path + ".u"],
                                   check=True, capture_output=True)
                    with open(path + ".u", "rb") as f:
                        stripped = f.read()
                    built = os.path.join(signing["out"], "build", name.split("/")[0], built_as)
                    with open(built, "rb") as f:
                        self.assertTrue(stripped == f.read(), name + ": not this run's unsigned build")
                    self.assertTrue(stripped == plain.read(name), name + ": not the unsigned archive's")

    def test_key_stays_out_of_the_folders_and_the_output(self):
        with open(signing["key"], "rb") as f:
            encrypted = f.read().split(b"\n")[1]  # a line of the key as stored
        plain = subprocess.run(["openssl", "pkey", "-in", signing["key"], "-passin",
                                "file:" + signing["pass_file"], "-outform", "DER"],
                               check=True, capture_output=True).stdout
        secrets = (encrypted, plain[-64:], PASSWORD.encode())
        for secret in secrets:
            self.assertNotIn(secret, signing["output"])
        for folder, _, files in os.walk(signing["out"]):
            for name in files:
                with open(os.path.join(folder, name), "rb") as f:
                    data = f.read()
                for secret in secrets:
                    self.assertNotIn(secret, data, os.path.join(folder, name))

    def test_faults_fail_with_one_line_and_write_no_archive(self):
        """Faults of use exit with 2, the others with 1."""
        cert, key = signing["cert"], signing["key"]
        wrong = os.path.join(os.path.dirname(key), "wrong password")
        with open(wrong, "w") as f:
            f.write("not " + PASSWORD + "\n")
        for case, status, options in (
                ("missing key", 1, ["--sign-cert", cert, "--sign-key", key + ".none"]),
                ("not a certificate", 1, ["--sign-cert", key, "--sign-key", key]),
                ("encrypted key, no password", 1, ["--sign-cert", cert, "--sign-key", key]),
                ("wrong password", 1, ["--sign-cert", cert, "--sign-key", key, "--sign-pass-file", wrong]),
                ("two addresses", 2, ["--github", GITHUB, "--url-base", URL_BASE]),
                ("repository without owner", 2, ["--github", "velmora"]),
                ("repository as an address", 2, ["--github", "https://github.com/" + GITHUB]),
                ("repository ..", 2, ["--github", "example-org/.."])):
            with self.subTest(case), tempfile.TemporaryDirectory() as out:
                run = release(out, *options, capture_output=True, text=True)
                self.assertEqual(run.returncode, status, run.stderr)
                self.assertRegex(run.stderr, r"\Arelease\.sh: [^\n]+\n\Z")
                self.assertEqual(os.listdir(out), [])


if __name__ == "__main__":
    unittest.main()
