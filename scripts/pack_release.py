#!/usr/bin/python3
"""Packs the release archive: the two executables, README.txt (the
administrator's part of README.md as plain text for Notepad), LICENSE.txt,
TOOLCHAIN.txt (what built them) and SHA256SUMS; and the tests archive: the
end-to-end test program of each build, README-TESTS.txt, TOOLCHAIN.txt and
SHA256SUMS.

Every entry has the same time (the commit's), the same mode and a fixed
place, so the same inputs always give the same bytes. Called by release.sh.
"""
import argparse
import hashlib
import os
import re
import textwrap
import time
import zipfile

WIDTH = 78


def plain(text):
    """Markdown inline markup taken out; code spans keep their text as it is."""
    parts = re.split(r"`([^`]*)`", text)
    for i in range(0, len(parts), 2):
        parts[i] = re.sub(r"\*\*(.+?)\*\*|\*(\S[^*]*?)\*", lambda m: m.group(1) or m.group(2),
                          parts[i], flags=re.S)
    return "".join(parts)


def table(rows):
    """A Markdown table as aligned columns, the last one wrapped."""
    cells = [[plain(c.strip()) for c in row.strip().strip("|").split("|")] for row in rows]
    cells = [row for row in cells if not all(re.fullmatch(r":?-+:?", c) for c in row)]
    widths = [max(len(row[i]) for row in cells) for i in range(len(cells[0]) - 1)]
    indent = 2 + sum(w + 2 for w in widths)
    lines = []
    for row in cells:
        head = "  " + "".join(c.ljust(w + 2) for c, w in zip(row, widths))
        lines += textwrap.wrap(row[-1], WIDTH, initial_indent=head,
                               subsequent_indent=" " * indent) or [head.rstrip()]
    return lines


def readme_text(markdown, version, commit):
    """Title, introduction and "For administrators" of README.md, as plain text."""
    source = markdown.split("\n")
    source = source[:source.index("## For developers")]
    lines, rows, prose = [], [], []
    for line in source + [""]:
        heading = re.match(r"(#+) (.*)", line)
        if line and not line.startswith(("|", "    ")) and not heading:
            prose.append(line)  # a paragraph's markup may span its lines
            continue
        lines += plain("\n".join(prose)).split("\n") if prose else []
        prose = []
        if line.startswith("|"):
            rows.append(line)
            continue
        if rows:
            lines += table(rows)
            rows = []
        if line.startswith("    ") or not line:
            lines.append(line.rstrip())  # code block or blank line, as it is
        elif len(heading.group(1)) == 1:
            title = "%s %s" % (heading.group(2), version)
            lines += [title, "=" * len(title), "", "Built from commit %s." % commit]
        elif heading.group(2) != "For administrators":
            lines += [heading.group(2), "-" * len(heading.group(2))]
    text = re.sub(r"\n{3,}", "\n\n", "\n".join(lines).strip() + "\n")
    return text.replace("\n", "\r\n")


def tests_readme_text(text, version, commit):
    """README-TESTS.txt: a title with the version and the commit, then the
    text as it is kept, with CR LF line ends for Notepad."""
    title = "Velmora %s: end-to-end tests" % version
    text = "%s\n%s\n\nBuilt from commit %s.\n\n%s" % (
        title, "=" * len(title), commit, text.replace("<version>", version))
    return text.replace("\n", "\r\n").encode("ascii")


def executables(folder_paths, name):
    """The executable of each build folder, as archive entries."""
    found = []
    for folder, path in folder_paths:
        with open(path, "rb") as f:
            found.append((folder + "/" + name, f.read()))
    return found


def sha256sums(entries):
    """The SHA256SUMS entry of these entries."""
    return ("SHA256SUMS", "".join("%s  %s\n" % (hashlib.sha256(data).hexdigest(), name)
                                  for name, data in entries))


def add(archive, name, data, date_time):
    info = zipfile.ZipInfo(name, date_time)
    info.create_system = 3  # Unix, so the mode below is read as one
    info.external_attr = 0o100644 << 16
    info.compress_type = zipfile.ZIP_DEFLATED
    archive.writestr(info, data, compresslevel=9)


def pack(path, entries, date_time):
    partial = path + ".part"
    with zipfile.ZipFile(partial, "w") as archive:
        for name, data in entries:
            add(archive, name, data, date_time)
    os.replace(partial, path)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("zip")
    for option in ("--version", "--commit", "--epoch", "--readme", "--license", "--x86", "--x64",
                   "--tests-zip", "--tests-readme", "--tests-x86", "--tests-x64", "--toolchain"):
        parser.add_argument(option, required=True)
    args = parser.parse_args()

    programs = executables((("x86", args.x86), ("x64", args.x64)), "Velmora.exe")
    with open(args.toolchain, "rb") as f:
        toolchain = ("TOOLCHAIN.txt", f.read())  # as release.sh wrote it, CR LF included
    with open(args.readme, encoding="utf-8") as f:
        readme = readme_text(f.read(), args.version, args.commit)
    try:
        readme = readme.encode("ascii")
    except UnicodeEncodeError:
        readme = readme.encode("utf-8-sig")  # the byte order mark tells Notepad
    with open(args.license, encoding="ascii") as f:
        license_text = f.read().replace("\n", "\r\n").encode("ascii")

    date_time = time.gmtime(int(args.epoch))[:6]
    pack(args.zip, programs + [("README.txt", readme), ("LICENSE.txt", license_text), toolchain,
                               sha256sums(programs + [toolchain])], date_time)

    programs = executables((("x86", args.tests_x86), ("x64", args.tests_x64)),
                           "velmora_e2e_tests.exe")
    with open(args.tests_readme, encoding="ascii") as f:
        readme = tests_readme_text(f.read(), args.version, args.commit)
    pack(args.tests_zip, programs + [("README-TESTS.txt", readme), toolchain,
                                     sha256sums(programs + [toolchain])], date_time)


if __name__ == "__main__":
    main()
