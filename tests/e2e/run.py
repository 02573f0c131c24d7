"""Runs end-to-end test modules for CTest.

Usage: python3 run.py MODULE...   (from this folder)

Verbose unittest output; exit code 0 when tests ran and passed, 1 on any
failure or error, and 77 (CTest's SKIP_RETURN_CODE) when every test was
skipped, so that a build lacking what the tests need shows them as skipped,
never as passed.
"""

import sys
import unittest

SkippedExitCode = 77


def main(modules):
    suite = unittest.defaultTestLoader.loadTestsFromNames(modules)
    result = unittest.TextTestRunner(verbosity=2).run(suite)
    if not result.wasSuccessful():
        return 1
    if result.testsRun == len(result.skipped):
        return SkippedExitCode
    return 0


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    sys.exit(main(sys.argv[1:]))
