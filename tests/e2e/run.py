"""Runs end-to-end test modules for CTest.

Usage: python3 run.py MODULE...   (from this folder)

Verbose unittest output; exit code 0 when every test ran and passed, 1
otherwise. A skipped test counts as a failure: a build or a machine lacking
what a test needs fails it, never passes it quietly.
"""

import sys
import unittest


def main(modules):
    suite = unittest.defaultTestLoader.loadTestsFromNames(modules)
    result = unittest.TextTestRunner(verbosity=2).run(suite)
    if not result.wasSuccessful():
        return 1
    if result.skipped:
        print("skipped tests fail the run: %s" % ", ".join(test.id() for test, _ in result.skipped),
              file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    sys.exit(main(sys.argv[1:]))
