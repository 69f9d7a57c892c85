#!/usr/bin/python3
"""Checks of Velmora.exe as the Windows loader and shell see it.

Usage: /usr/bin/python3 test_executable.py path/to/Velmora.exe [unittest options]

Uses Debian's python3-pefile; no Wine needed.
"""
import os
import struct
import subprocess
import sys
import tempfile
import unittest
import xml.etree.ElementTree as ET

import pefile

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
RESOURCES = os.path.join(ROOT, "resources")
with open(os.path.join(ROOT, "VERSION")) as version_file:
    VERSION = version_file.readline().strip()
EXE_PATH = None  # set from the command line
pe = None

RT_ICON, RT_GROUP_ICON, RT_MANIFEST = 3, 14, 24
ICON_GROUP_ID = 103
ICON_SIZES = [256, 128, 72, 64, 48, 32, 24, 16]
PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"

# Everything the executable may import, all of it present on Windows XP SP3
# (x86) and XP x64 / Server 2003 x64, with the reason each one is there. A new
# import has to be added here on purpose, after checking that XP's DLL exports it.
RUNTIME = "MinGW runtime start-up"
RUNTIME_X64 = "MinGW-w64 x64 runtime"
ALLOWED_IMPORTS = {
    "advapi32.dll": {
        "AdjustTokenPrivileges": "enabling SeDebugPrivilege at start-up",
        "CheckTokenMembership": "does an administrator the update lock refuses hold an elevated token (2000)",
        "ConvertStringSecurityDescriptorToSecurityDescriptorA":
            "the update lock's owner and access list, from their text form (2000)",
        "CreateWellKnownSid": "the Administrators SID for that question, in a buffer of our own (XP)",
        "GetKernelObjectSecurity": "reading the update lock's owner before trusting it",
        "GetSecurityDescriptorOwner": "the owner in that descriptor",
        "IsWellKnownSid": "is the lock's owner LocalSystem or Administrators (XP)",
        "LookupPrivilegeValueA": "looking up the LUID of SeDebugPrivilege",
        "OpenProcessToken": "opening the process token for the privilege",
        "RegCloseKey": "closing the policy key",
        "RegCreateKeyExA": "creating/opening the policy key for writing",
        "RegDeleteValueA": "removing NoDrives when no drive is left hidden",
        "RegOpenKeyExA": "opening the policy key for reading",
        "RegQueryValueExA": "reading NoDrives",
        "RegSetValueExA": "writing NoDrives",
    },
    "kernel32.dll": {
        "CloseHandle": "closing the process token, the update lock's mutex, the announcing thread and the volume queries' threads",
        "CreateMutexA": "the machine-wide lock around the NoDrives update (Global\\ name)",
        "CreateThread": "announcing a change to running programs without waiting on them; "
                        "one volume query per drive in the listing; flushing the output after Ctrl+C",
        "DeleteCriticalSection": RUNTIME + " (TLS destructors, tlsthrd)",
        "EnterCriticalSection": RUNTIME + " (TLS destructors, tlsthrd)",
        "FormatMessageW": "the system's own words for an error, on the reason line",
        "FreeLibrary": "user32 after the window-station check; " + RUNTIME + " (crtbegin)",
        "GetConsoleMode": "is standard output (or input) a console",
        "GetConsoleOutputCP": "the code page redirected text is written in",
        "GetConsoleProcessList": "is the console this process's own, before a key wait (XP)",
        "GetConsoleWindow": "has the console a window, before a key wait (2000)",
        "GetOEMCP": "the code page of redirected text when there is no console",
        "GetConsoleScreenBufferInfo": "reading the console attribute to put back",
        "GetCurrentProcess": "process token and the WOW64 check",
        "GetDriveTypeA": "drive type in the listing",
        "GetEnvironmentVariableA": "the PROMPT check",
        "GetLastError": "error code after failed registry/volume calls; MinGW runtime",
        "GetLogicalDrives": "which drive letters exist, for the listing",
        "GetModuleHandleA": "finding kernel32.dll for IsWow64Process and CancelSynchronousIo; crtbegin",
        "GetModuleHandleW": RUNTIME + " (_vscprintf looks up msvcrt.dll, for vsnprintf)",
        "GetProcAddress": "looking up IsWow64Process, CancelSynchronousIo (Vista) and user32's functions at run time; MinGW runtime",
        "GetStartupInfoA": "was the window started hidden, before a key wait; " + RUNTIME + " (crt2)",
        "GetStdHandle": "the console output handle",
        "GetTickCount": "the update lock's five seconds, across a retry; the listing's bound",
        "GetVolumeInformationW": "volume label (in Unicode) and file system in the listing",
        "InitializeCriticalSection": RUNTIME + " (TLS destructors, tlsthrd)",
        "LeaveCriticalSection": RUNTIME + " (TLS destructors, tlsthrd)",
        "LocalFree": "the update lock's security descriptor",
        "LoadLibraryA": "user32, only for the window-station check and the announcement of a change; "
                        + RUNTIME + " (crtbegin)",
        "MultiByteToWideChar": "text to Unicode: the ANSI drive argument, UTF-8 for output",
        "OpenMutexA": "waiting for a lock whose access list refuses full access (LocalSystem's)",
        "ReleaseMutex": "releasing the update lock",
        "SetConsoleTextAttribute": "console colours",
        "SetConsoleCtrlHandler": "Ctrl+C and Ctrl+Break: the starting colours back, then the end",
        "SetErrorMode": "no \"No disk\" dialog when the listing queries an empty drive",
        "SetUnhandledExceptionFilter": RUNTIME + " (crt2 exception handler)",
        "Sleep": "after Ctrl+C, waiting for a colour change in progress; " + RUNTIME + " (crt2 start-up lock)",
        "TerminateProcess": "ending the process after Ctrl+C or Ctrl+Break, with STATUS_CONTROL_C_EXIT",
        "TlsGetValue": RUNTIME + " (TLS destructors, tlsthrd)",
        "VirtualProtect": RUNTIME + " (pseudo-relocations)",
        "VirtualQuery": RUNTIME + " (pseudo-relocations)",
        "WaitForSingleObject": "waiting a bounded time for the update lock, the announcement, "
                               "the volume queries and the flush after Ctrl+C",
        "WideCharToMultiByte": "labels to UTF-8; redirected text to the console's code page",
        "WriteConsoleW": "text on a console, in Unicode",
    },
    "msvcrt.dll": {
        "__getmainargs": RUNTIME + " (argc/argv)",
        "__initenv": RUNTIME + " (environment)",
        "__p__acmdln": RUNTIME + " (command line)",
        "__p__commode": RUNTIME + " (stdio mode)",
        "__p__fmode": RUNTIME + " (file mode)",
        "__set_app_type": RUNTIME + " (console application)",
        "__setusermatherr": RUNTIME + " (math error handler)",
        "_amsg_exit": RUNTIME + " (fatal start-up error)",
        "_cexit": RUNTIME + " (exit handlers)",
        "_errno": RUNTIME + " (_vscprintf fallback sets errno)",
        "_getch": "waiting for one key press without echo",
        "_initterm": RUNTIME + " (static constructors)",
        "_iob": "stdout, for fflush(stdout)",
        "_onexit": RUNTIME + " (atexit)",
        "_vsnprintf": "formatting text and the red error line (vsnprintf)",
        "abort": RUNTIME + " (pseudo-relocation failure)",
        "calloc": RUNTIME + " (TLS destructor list)",
        "exit": "ending the process with its status",
        "fflush": "flushing stdout before a key wait, at exit and after Ctrl+C",
        "fprintf": RUNTIME + " (math error report)",
        "free": RUNTIME + " (TLS destructor list, _vscprintf fallback)",
        "fwrite": "redirected text, through the C runtime's text mode; " + RUNTIME,
        "malloc": RUNTIME + " (argv copy, _vscprintf fallback)",
        "memcpy": RUNTIME + " (argv copy)",
        "realloc": RUNTIME + " (_vscprintf fallback)",
        "setvbuf": "a buffer for redirected output, so that it leaves in few writes",
        "signal": RUNTIME + " (exception handler)",
        "strlen": RUNTIME + " (argv copy, PE section lookup)",
        "strncmp": RUNTIME + " (PE section lookup)",
        "strncpy": "bounded copies of the drive argument and listing fields",
        "vfprintf": RUNTIME + " (pseudo-relocation error report)",
    },
}

# What the x64 runtime imports beyond the x86 one: its vsnprintf is MinGW's
# own formatter (mingw_pformat), with its locale and wide-character helpers.
ALLOWED_IMPORTS_X64 = {
    "kernel32.dll": {
        "__C_specific_handler": RUNTIME_X64 + " (structured exception handling)",
        "IsDBCSLeadByteEx": RUNTIME_X64 + " (mbrtowc, for the formatter)",
    },
    "msvcrt.dll": {
        "___lc_codepage_func": RUNTIME_X64 + " (wcrtomb)",
        "___mb_cur_max_func": RUNTIME_X64 + " (wcrtomb)",
        "__iob_func": "stdout, for fflush(stdout)",
        "_acmdln": RUNTIME + " (command line)",
        "_commode": RUNTIME + " (stdio mode)",
        "_fmode": RUNTIME + " (file mode)",
        "_lock": RUNTIME_X64 + " (onexit table lock)",
        "_unlock": RUNTIME_X64 + " (onexit table lock)",
        "_vscprintf": RUNTIME_X64 + " (vsnprintf)",
        "fputc": RUNTIME_X64 + " (formatter)",
        "localeconv": RUNTIME_X64 + " (formatter: decimal point)",
        "memset": RUNTIME_X64 + " (formatter)",
        "strerror": RUNTIME_X64 + " (formatter: %m)",
        "wcslen": RUNTIME_X64 + " (formatter: %ls)",
    },
}

# What each machine's image states: PE32 or PE32+, the highest OS and
# subsystem version its oldest Windows accepts, the manifest's architecture.
MACHINES = {
    0x14C: {"name": "i386", "magic": 0x10B, "version": (5, 1), "manifest": "x86",
            "imports": ALLOWED_IMPORTS},
    0x8664: {"name": "AMD64", "magic": 0x20B, "version": (5, 2), "manifest": "amd64",
             "imports": {dll: {**names, **ALLOWED_IMPORTS_X64.get(dll, {})}
                         for dll, names in ALLOWED_IMPORTS.items()}},
}

VERSION_STRINGS = {
    "CompanyName": "Brannoch",
    "FileDescription": "Free Command-line Tool to Hide or Unhide Drives on Windows",
    "FileVersion": VERSION,
    "InternalName": "Velmora",
    "LegalCopyright": "Copyright (C) 2026 Brannoch",
    "OriginalFilename": "Velmora.exe",
    "ProductName": "Velmora",
    "ProductVersion": VERSION,
}


def resource(type_id, res_id):
    """The bytes of the first language of resource type_id/res_id, or None."""
    for rtype in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        if rtype.id != type_id:
            continue
        for entry in rtype.directory.entries:
            if entry.id == res_id:
                data = entry.directory.entries[0].data.struct
                return pe.get_data(data.OffsetToData, data.Size)
    return None


def resource_ids(type_id):
    for rtype in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        if rtype.id == type_id:
            return [entry.id for entry in rtype.directory.entries]
    return []


def icon_group():
    """(size, bits per pixel, byte count, RT_ICON id) for each image of group 103."""
    data = resource(RT_GROUP_ICON, ICON_GROUP_ID)
    reserved, kind, count = struct.unpack_from("<HHH", data, 0)
    assert (reserved, kind) == (0, 1), "not an icon group"
    images = []
    for i in range(count):
        w, h, _, _, _, bpp, length, icon_id = struct.unpack_from("<BBBBHHIH", data, 6 + 14 * i)
        assert w == h, "icon %d is not square" % icon_id
        images.append((w or 256, bpp, length, icon_id))
    return images


def machine():
    """What MACHINES says of this executable's machine."""
    return MACHINES[pe.FILE_HEADER.Machine]


class Headers(unittest.TestCase):
    def test_console_program_for_the_oldest_windows_of_its_machine(self):
        opt = pe.OPTIONAL_HEADER
        self.assertIn(pe.FILE_HEADER.Machine, MACHINES, "machine is neither i386 nor AMD64")
        expected = machine()
        self.assertEqual(opt.Magic, expected["magic"], "not a PE32 (x86) or PE32+ (x64) image")
        self.assertEqual(opt.Subsystem, 3, "not the console subsystem")
        self.assertLessEqual((opt.MajorOperatingSystemVersion, opt.MinorOperatingSystemVersion),
                             expected["version"], "OS version above XP's")
        self.assertLessEqual((opt.MajorSubsystemVersion, opt.MinorSubsystemVersion),
                             expected["version"], "subsystem version above XP's: its loader refuses it")


class Imports(unittest.TestCase):
    def imports(self):
        for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []):
            for imp in entry.imports:
                name = imp.name.decode() if imp.name else "#%d" % imp.ordinal
                yield entry.dll.decode().lower(), name

    def test_only_allowed_dlls_and_functions(self):
        allowed = machine()["imports"]
        unexpected = [(dll, name) for dll, name in self.imports()
                      if name not in allowed.get(dll, {})]
        self.assertEqual(unexpected, [], "imports outside the XP allow-list")

    def test_is_wow64_process_is_looked_up_at_run_time(self):
        # Windows XP before SP2 lacks it: a static import would stop the loader.
        self.assertNotIn("IsWow64Process", [name for _, name in self.imports()])

    def test_no_delay_loaded_imports(self):
        directory = pe.OPTIONAL_HEADER.DATA_DIRECTORY[
            pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT"]]
        self.assertEqual((directory.VirtualAddress, directory.Size), (0, 0))
        self.assertFalse(hasattr(pe, "DIRECTORY_ENTRY_DELAY_IMPORT"))


class Manifest(unittest.TestCase):
    def test_asks_for_administrator_rights(self):
        self.assertEqual(resource_ids(RT_MANIFEST), [1], "want one manifest, id 1")
        root = ET.fromstring(resource(RT_MANIFEST, 1))  # raises if not well-formed
        self.assertEqual(root.tag, "{urn:schemas-microsoft-com:asm.v1}assembly")
        v3 = "{urn:schemas-microsoft-com:asm.v3}"
        path = "/".join(v3 + tag for tag in ("trustInfo", "security", "requestedPrivileges",
                                             "requestedExecutionLevel"))
        levels = root.findall(path)
        self.assertEqual(len(levels), 1, "no single asm.v3 requestedExecutionLevel")
        self.assertEqual(levels[0].attrib, {"level": "requireAdministrator", "uiAccess": "false"})
        identity = root.find("{urn:schemas-microsoft-com:asm.v1}assemblyIdentity")
        self.assertEqual(identity.get("processorArchitecture"), machine()["manifest"])
        self.assertEqual(identity.get("version"), VERSION)


class VersionBlock(unittest.TestCase):
    def test_fixed_versions_are_the_version_file(self):
        a, b, c, d = (int(n) for n in VERSION.split("."))
        fixed = pe.VS_FIXEDFILEINFO[0]
        self.assertEqual(fixed.Signature, 0xFEEF04BD)
        self.assertEqual((fixed.FileVersionMS, fixed.FileVersionLS), (a << 16 | b, c << 16 | d))
        self.assertEqual((fixed.ProductVersionMS, fixed.ProductVersionLS), (a << 16 | b, c << 16 | d))

    def test_translation_and_strings(self):
        translations, tables = [], {}
        for info in pe.FileInfo[0]:
            if info.Key == b"VarFileInfo":
                translations += [var.entry.get(b"Translation") for var in info.Var]
            elif info.Key == b"StringFileInfo":
                for table in info.StringTable:
                    tables[table.LangID.decode()] = {k.decode(): v.decode("utf-8")
                                                     for k, v in table.entries.items()}
        self.assertEqual(translations, ["0x0409 0x04b0"], "want language 0x0409, code page 1200")
        self.assertEqual(list(tables), ["040904b0"])
        strings = tables["040904b0"]
        self.assertEqual({k: strings.get(k) for k in VERSION_STRINGS}, VERSION_STRINGS)


class Icon(unittest.TestCase):
    def test_group_103_has_the_eight_32_bit_sizes(self):
        group = icon_group()
        self.assertEqual(sorted((s for s, _, _, _ in group), reverse=True), ICON_SIZES)
        for size, bpp, length, icon_id in group:
            image = resource(RT_ICON, icon_id)
            self.assertIsNotNone(image, "RT_ICON %d missing" % icon_id)
            self.assertEqual(len(image), length, "size %d: byte count" % size)
            self.assertEqual(bpp, 32, "size %d: bits per pixel" % size)

    def test_images_are_png_for_256_and_dib_below(self):
        for size, _, _, icon_id in icon_group():
            image = resource(RT_ICON, icon_id)
            if size == 256:
                self.assertEqual(image[:8], PNG_SIGNATURE, "256-pixel image is no PNG")
                length, tag, w, h, depth, colour = struct.unpack_from(">I4sIIBB", image, 8)
                self.assertEqual((tag, w, h, depth, colour), (b"IHDR", 256, 256, 8, 6),
                                 "want an 8-bit RGBA PNG of 256x256")
            else:
                self.assertNotEqual(image[:8], PNG_SIGNATURE, "size %d is a PNG" % size)
                header, w, h, _, bpp = struct.unpack_from("<IiiHH", image, 0)
                self.assertEqual((header, w, h, bpp), (40, size, 2 * size, 32),
                                 "size %d: BITMAPINFOHEADER" % size)

    def test_artwork_is_drawn(self):
        icon_id = [i for size, _, _, i in icon_group() if size == 32][0]
        pixels = resource(RT_ICON, icon_id)[40:40 + 32 * 32 * 4]
        bgra = [pixels[i:i + 4] for i in range(0, len(pixels), 4)]
        alphas = [p[3] for p in bgra]
        self.assertGreater(alphas.count(0), 32, "no transparent background")
        self.assertGreater(alphas.count(255), 100, "hardly anything opaque")
        colours = {p[:3] for p in bgra if p[3] == 255}
        self.assertGreaterEqual(len(colours), 8, "the artwork is nearly one flat colour")

    def test_executable_holds_the_committed_icon(self):
        with open(os.path.join(RESOURCES, "velmora.ico"), "rb") as f:
            ico = f.read()
        count = struct.unpack_from("<H", ico, 4)[0]
        group = icon_group()
        self.assertEqual(count, len(group))
        for i, (size, _, _, icon_id) in enumerate(group):
            length, offset = struct.unpack_from("<II", ico, 6 + 16 * i + 8)
            self.assertTrue(ico[offset:offset + length] == resource(RT_ICON, icon_id),
                            "size %d differs from velmora.ico" % size)

    @unittest.skipUnless(os.path.exists(os.path.join(RESOURCES, "make_icon.py")), "no script")
    def test_make_icon_reproduces_the_committed_icon(self):
        with tempfile.TemporaryDirectory() as tmp:
            out = os.path.join(tmp, "velmora.ico")
            subprocess.run([sys.executable, "-B", os.path.join(RESOURCES, "make_icon.py"), out],
                           check=True, stdout=subprocess.DEVNULL)
            with open(out, "rb") as f:
                made = f.read()
        with open(os.path.join(RESOURCES, "velmora.ico"), "rb") as f:
            self.assertTrue(made == f.read(), "make_icon.py no longer makes velmora.ico")


def setUpModule():
    global pe
    pe = pefile.PE(EXE_PATH)


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit("usage: test_executable.py Velmora.exe [unittest options]")
    EXE_PATH = sys.argv.pop(1)
    unittest.main()
