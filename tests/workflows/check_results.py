#!/usr/bin/env python3
"""Judges one run of the end-to-end test program on a Windows runner, from
the results GoogleTest wrote (--gtest_output=xml:FILE) and the program's
console output:

    python check_results.py RESULTS.xml OUTPUT.txt

Exit status 0 when the run proved what it should: a case ran, none failed,
every case skipped is on the allow-list below, and the program said at its
end that it had put the machine back. Otherwise 1, with one ::error:: line
(GitHub shows those on the job) for each thing wrong. Standard library
only, for the runners' Python and Debian 12's.
"""
import sys
import xml.etree.ElementTree as ElementTree

# The cases a GitHub Windows runner skips by design, each with the reason.
# A skip of any other case fails the job: it proved nothing there.
ALLOWED_SKIPS = {
    "Prefix.HasTheDrivesAndRegistryViewsTheTestsNeed": "it checks the drives and views of Wine's test prefix",
    "Policy.UnhideWithoutAKeyStoresNoValue": "it deletes the policy key, which only Wine's test prefix may lose",
    "RegistryView.HideAndUnhideUseThe64BitView": "Windows 7 and later share the policy key between the views",
    "RegistryView.ListingReadsThe64BitView": "Windows 7 and later share the policy key between the views",
}

# The line the program prints once the last case is over and the policy key
# is as it found it. A run stopped by Ctrl+C prints another ("stopped by
# Ctrl+C; the machine is as it was"): that run did not end.
RESTORED = "velmora_e2e_tests: the machine is as it was"


def Judge(results, output):
    """What is wrong with a run, one line each (none when it passes), and
    the cases skipped by design. `results` is GoogleTest's XML, `output` the
    console output's text."""
    try:
        root = ElementTree.fromstring(results)
    except ElementTree.ParseError as error:
        return ["the results are not GoogleTest's XML (%s)" % error], []
    problems = []
    allowed = []
    ran = 0
    for case in root.iter("testcase"):
        # A failure outside every case (the last restore, say) is a case
        # with no name of a suite with no name.
        name = "%s.%s" % (case.get("classname"), case.get("name"))
        if case.find("failure") is not None:
            problems.append("%s failed" % name if case.get("name") else "the run failed outside its cases")
        if case.get("result") == "skipped":
            if name in ALLOWED_SKIPS:
                allowed.append("%s: %s" % (name, ALLOWED_SKIPS[name]))
                continue
            skipped = case.find("skipped")
            # GoogleTest's message is "file:line", a line end, the reason.
            reason = skipped.get("message", "").split("\n", 1)[-1] if skipped is not None else ""
            problems.append("%s was skipped (%s), and it is not on the allow-list" % (name, reason))
        elif case.get("status") == "run" and case.get("name"):
            ran += 1
    if ran == 0:
        problems.append("no case ran")
    if RESTORED not in output.splitlines():
        problems.append('the output does not say "%s": the machine may not have been put back' % RESTORED)
    return problems, allowed


def main(argv):
    if len(argv) != 2:
        print("usage: check_results.py RESULTS.xml OUTPUT.txt", file=sys.stderr)
        return 2
    try:
        # GoogleTest copies a message's bytes as they are, and Velmora's
        # output in a message is in the OEM code page: not UTF-8, which the
        # file says it is. Such a byte is read as U+FFFD rather than refused.
        with open(argv[0], "rb") as f:
            results = f.read().decode("utf-8", "replace")
        # The program's bytes: ASCII and the OEM code page's. Latin-1 maps
        # every byte to a character, so no byte stops the reading.
        with open(argv[1], "rb") as f:
            output = f.read().decode("latin-1")
    except OSError as error:
        print("::error::%s: %s" % (error.filename, error.strerror))
        return 1
    problems, allowed = Judge(results, output)
    for skip in allowed:
        print("Skipped by design: %s." % skip)
    for problem in problems:
        print("::error::End-to-end run: %s." % problem)
    if not problems:
        print("The end-to-end run proved what it should.")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
