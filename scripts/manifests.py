#!/usr/bin/python3
"""Writes the package manifests of a release archive beside it: winget's
three files (version, installer, default locale; manifest version 1.12.0)
in winget/, and Scoop's, velmora.json.

Each value comes from where it is kept: the version from VERSION, the hash
from the archive as it was written (signed or not), the names, description
and copyright from the version block (resources/velmora.rc), the web
address from the banner (console/console.cpp). Called by release.sh.
"""
import argparse
import hashlib
import json
import os
import re

import yaml

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
WINGET_MANIFEST_VERSION = "1.12.0"
LOCALE = "en-US"
LICENCE = "MIT"  # the SPDX name of LICENSE's licence
COMMAND = "velmora"  # the command winget puts on the PATH
# The archive's folder of each build (winget's name for its architecture
# too), and Scoop's name for it.
BUILDS = (("x86", "32bit"), ("x64", "64bit"))


def read(*path):
    with open(os.path.join(ROOT, *path), encoding="utf-8") as f:
        return f.read()


def found(pattern, text, what):
    match = re.search(pattern, text)
    if not match:
        raise SystemExit("manifests.py: cannot find %s" % what)
    return match.group(1)


def write_yaml(path, kind, data):
    with open(path, "w", encoding="utf-8", newline="\n") as f:
        f.write("# yaml-language-server: $schema=https://aka.ms/winget-manifest.%s.%s.schema.json\n\n"
                % (kind, WINGET_MANIFEST_VERSION))
        yaml.safe_dump(dict(data, ManifestType=kind, ManifestVersion=WINGET_MANIFEST_VERSION), f,
                       sort_keys=False, allow_unicode=True, width=1000)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("archive")
    parser.add_argument("--url-base", help="the folder the archive is downloaded from")
    args = parser.parse_args()

    version = read("VERSION").split("\n")[0].strip()
    rc = read("resources", "velmora.rc")
    block = {name: found(r'VALUE "%s", "([^"]*)"' % name, rc, "%s in velmora.rc" % name)
             for name in ("CompanyName", "ProductName", "FileDescription", "LegalCopyright")}
    homepage = found(r'kProductAddress\[\]\s*=\s*"([^"]+)"', read("console", "console.cpp"),
                     "the web address in console.cpp")
    with open(args.archive, "rb") as f:
        sha256 = hashlib.sha256(f.read()).hexdigest()
    name = os.path.basename(args.archive)
    url_base = args.url_base or "%s/download/%s/" % (homepage, version)
    url = url_base.rstrip("/") + "/" + name
    out = os.path.dirname(os.path.abspath(args.archive))

    identifier = "%s.%s" % (block["CompanyName"], block["ProductName"])
    package = {"PackageIdentifier": identifier, "PackageVersion": version}
    winget = os.path.join(out, "winget")
    os.makedirs(winget, exist_ok=True)
    write_yaml(os.path.join(winget, identifier + ".yaml"), "version",
               dict(package, DefaultLocale=LOCALE))
    write_yaml(os.path.join(winget, identifier + ".installer.yaml"), "installer",
               dict(package, InstallerType="zip", NestedInstallerType="portable", Installers=[
                   {"Architecture": folder,
                    "NestedInstallerFiles": [{"RelativeFilePath": folder + "\\Velmora.exe",
                                              "PortableCommandAlias": COMMAND}],
                    "InstallerUrl": url,
                    "InstallerSha256": sha256.upper()}
                   for folder, _ in BUILDS]))
    write_yaml(os.path.join(winget, "%s.locale.%s.yaml" % (identifier, LOCALE)), "defaultLocale",
               dict(package, PackageLocale=LOCALE, Publisher=block["CompanyName"],
                    PublisherUrl=homepage, PackageName=block["ProductName"], PackageUrl=homepage,
                    License=LICENCE, Copyright=block["LegalCopyright"],
                    ShortDescription=block["FileDescription"], Moniker=COMMAND))

    # Scoop's autoupdate takes the next version's hash from <archive>.sha256,
    # which release.sh writes beside every archive. No checkver: there is no
    # page yet that names the latest version.
    template = url.replace(version, "$version")
    scoop = {
        "version": version,
        "description": block["FileDescription"],
        "homepage": homepage,
        "license": LICENCE,
        "architecture": {bits: {"url": url, "hash": sha256, "bin": folder + "\\Velmora.exe"}
                         for folder, bits in reversed(BUILDS)},
        "autoupdate": {
            "architecture": {bits: {"url": template} for _, bits in reversed(BUILDS)},
            "hash": {"url": "$url.sha256"},
        },
    }
    with open(os.path.join(out, "velmora.json"), "w", encoding="utf-8", newline="\n") as f:
        f.write(json.dumps(scoop, indent=4) + "\n")


if __name__ == "__main__":
    main()
