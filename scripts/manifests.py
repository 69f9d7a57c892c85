#!/usr/bin/python3
"""Writes the package manifests of a release archive beside it: winget's
three files (version, installer, default locale; manifest version 1.12.0)
in winget/, and Scoop's, velmora.json.

Each value comes from where it is kept: the version from VERSION, the hash
from the archive as it was written (signed or not), the names, description,
copyright and author from the version block (resources/velmora.rc), the
release date from the time the archive's entries carry. The addresses come
from --github OWNER/REPO (a release published on GitHub), else --url-base,
else the banner's web address (console/console.cpp). Called by release.sh.
"""
import argparse
import datetime
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
# winget's search terms: lower case words joined by hyphens, as the
# community repository writes them (at most 16).
TAGS = ["drives", "drive-letter", "hide-drive", "nodrives", "group-policy", "explorer",
        "registry", "sysadmin", "command-line"]


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


def github_addresses(repository, version, name):
    """The addresses of a release published on GitHub: its own assets, never
    releases/latest, so that every manifest keeps naming its own version."""
    home = "https://github.com/" + repository
    tag = "v" + version
    return {"homepage": home,
            "url": "%s/releases/download/%s/%s" % (home, tag, name),
            "LicenseUrl": "%s/blob/%s/LICENSE" % (home, tag),
            "ReleaseNotesUrl": "%s/releases/tag/%s" % (home, tag),
            "PublisherSupportUrl": home + "/issues"}


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("archive")
    parser.add_argument("--epoch", type=int, required=True,
                        help="the time the archive's entries carry; its UTC date is the release date")
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--github", metavar="OWNER/REPO", help="a release published on GitHub")
    where.add_argument("--url-base", help="the folder the archive is downloaded from")
    args = parser.parse_args()

    version = read("VERSION").split("\n")[0].strip()
    rc = read("resources", "velmora.rc")
    block = {name: found(r'VALUE "%s", "([^"]*)"' % name, rc, "%s in velmora.rc" % name)
             for name in ("CompanyName", "ProductName", "FileDescription", "LegalCopyright")}
    author = found(r"^Copyright (?:\(C\)|\u00a9) [0-9, -]+ (.+)$", block["LegalCopyright"],
                   "the copyright holder in LegalCopyright")
    with open(args.archive, "rb") as f:
        sha256 = hashlib.sha256(f.read()).hexdigest()
    name = os.path.basename(args.archive)
    if args.github:
        addresses = github_addresses(args.github, version, name)
        template = github_addresses(args.github, "$version", name.replace(version, "$version"))["url"]
    else:
        homepage = found(r'kProductAddress\[\]\s*=\s*"([^"]+)"', read("console", "console.cpp"),
                         "the web address in console.cpp")
        url_base = (args.url_base or "%s/download/%s/" % (homepage, version)).rstrip("/")
        addresses = {"homepage": homepage, "url": url_base + "/" + name}
        template = url_base.replace(version, "$version") + "/" + name.replace(version, "$version")
    homepage, url = addresses["homepage"], addresses["url"]
    out = os.path.dirname(os.path.abspath(args.archive))

    identifier = "%s.%s" % (block["CompanyName"], block["ProductName"])
    package = {"PackageIdentifier": identifier, "PackageVersion": version}
    winget = os.path.join(out, "winget")
    os.makedirs(winget, exist_ok=True)
    write_yaml(os.path.join(winget, identifier + ".yaml"), "version",
               dict(package, DefaultLocale=LOCALE))
    write_yaml(os.path.join(winget, identifier + ".installer.yaml"), "installer",
               dict(package, InstallerType="zip", NestedInstallerType="portable",
                    ReleaseDate=datetime.datetime.fromtimestamp(args.epoch, datetime.timezone.utc).date(),
                    Installers=[
                        {"Architecture": folder,
                         "NestedInstallerFiles": [{"RelativeFilePath": folder + "\\Velmora.exe",
                                                   "PortableCommandAlias": COMMAND}],
                         "InstallerUrl": url,
                         "InstallerSha256": sha256.upper()}
                        for folder, _ in BUILDS]))
    # In the order of the format's own documentation, which the community
    # repository's manifests keep; the addresses only --github knows are left out otherwise.
    locale = dict(package, PackageLocale=LOCALE, Publisher=block["CompanyName"],
                  PublisherUrl=homepage, PublisherSupportUrl=addresses.get("PublisherSupportUrl"),
                  Author=author, PackageName=block["ProductName"], PackageUrl=homepage,
                  License=LICENCE, LicenseUrl=addresses.get("LicenseUrl"),
                  Copyright=block["LegalCopyright"], ShortDescription=block["FileDescription"],
                  Moniker=COMMAND, Tags=TAGS, ReleaseNotesUrl=addresses.get("ReleaseNotesUrl"))
    write_yaml(os.path.join(winget, "%s.locale.%s.yaml" % (identifier, LOCALE)), "defaultLocale",
               {field: value for field, value in locale.items() if value is not None})

    # One archive holds both builds, so url and hash stand once, and each
    # architecture names only its executable. autoupdate takes the next
    # version's hash from <archive>.sha256, which release.sh writes beside
    # every archive. checkver "github" reads the version from the tag of the
    # repository's latest release (v<version>); elsewhere no page is known
    # that names the latest version, so there is no checkver.
    scoop = {
        "version": version,
        "description": block["FileDescription"],
        "homepage": homepage,
        "license": LICENCE,
        "url": url,
        "hash": sha256,
        "architecture": {bits: {"bin": folder + "\\Velmora.exe"} for folder, bits in reversed(BUILDS)},
    }
    if args.github:
        scoop["checkver"] = "github"
    scoop["autoupdate"] = {"url": template, "hash": {"url": "$url.sha256"}}
    with open(os.path.join(out, "velmora.json"), "w", encoding="utf-8", newline="\n") as f:
        f.write(json.dumps(scoop, indent=4) + "\n")


if __name__ == "__main__":
    main()
