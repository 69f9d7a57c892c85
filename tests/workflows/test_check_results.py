#!/usr/bin/env python3
"""Checks of check_results.py on sample runs: each row's results and output
are written to files, and the script is run on them as the Windows job runs
it.

Usage: python3 test_check_results.py [unittest options]
"""
import contextlib
import io
import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import check_results  # noqa: E402


# A case as GoogleTest 1.12 writes it with --gtest_output=xml (attributes
# trimmed to those read); `skip` and `failure` are messages.
def Case(name, skip=None, failure=None):
    suite, test = name.split(".")
    children = ""
    if failure:
        children += '<failure message="velmora_e2e_test.cpp:9&#x0A;%s" type=""></failure>' % failure
    if skip:
        children += '<skipped message="velmora_e2e_test.cpp:9&#x0A;%s"></skipped>' % skip
    result = "skipped" if skip and not failure else "completed"
    return ('<testsuite name="%s"><testcase name="%s" status="run" result="%s" classname="%s">%s'
            "</testcase></testsuite>" % (suite, test, result, suite, children))


def Results(*cases):
    return '<?xml version="1.0" encoding="UTF-8"?>\n<testsuites name="AllTests">%s</testsuites>' % "".join(cases)


BY_DESIGN = [Case(name, skip="made for the Wine test prefix") for name in check_results.ALLOWED_SKIPS]
ENDED = "[----------] Global test environment tear-down\r\nvelmora_e2e_tests: the machine is as it was\r\n"
STOPPED = "\r\nvelmora_e2e_tests: stopped by Ctrl+C; the machine is as it was\r\n"

ROWS = [
    # name, results, output, what it must say (None: it passes)
    ("a clean run", Results(Case("Listing.ShowsEveryDriveWithItsStatus"), *BY_DESIGN), ENDED, None),
    ("an unlisted skip",
     Results(Case("Listing.ShowsEveryDriveWithItsStatus"),
             Case("Lock.NameOfSomeoneElseFailsWithoutWaiting", skip="holder D:(A;;GA;;;WD): refused")),
     ENDED, "Lock.NameOfSomeoneElseFailsWithoutWaiting was skipped (holder D:(A;;GA;;;WD): refused)"),
    ("a run stopped before its end", Results(Case("Listing.ShowsEveryDriveWithItsStatus")), STOPPED,
     'does not say "velmora_e2e_tests: the machine is as it was"'),
    ("nothing but skips", Results(*BY_DESIGN), ENDED, "no case ran"),
    ("a case skipped after it failed, Velmora's OEM bytes in its message",
     Results(Case("Lock.HolderIsTrusted", skip="no holder", failure="Cl\x82 is not Cl\xe9")), ENDED,
     "Lock.HolderIsTrusted failed"),
    ("no results", "", ENDED, "not GoogleTest's XML"),
]


class CheckResults(unittest.TestCase):
    def test_samples(self):
        for name, results, output, says in ROWS:
            with self.subTest(name), tempfile.TemporaryDirectory() as folder:
                files = [os.path.join(folder, "results.xml"), os.path.join(folder, "output.txt")]
                for path, text in zip(files, (results, output)):
                    with open(path, "w", encoding="latin-1", newline="") as f:
                        f.write(text)
                printed = io.StringIO()
                with contextlib.redirect_stdout(printed):
                    status = check_results.main(files)
                self.assertEqual(0 if says is None else 1, status, printed.getvalue())
                if says is not None:
                    self.assertIn(says, printed.getvalue())


if __name__ == "__main__":
    unittest.main()
