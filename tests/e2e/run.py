#!/usr/bin/env python3
"""Runs end-to-end test modules against a built program.

  run.py --tolvex PATH MODULE [MODULE...]   e.g. test_messages test_failures
"""

import argparse
import os
import sys
import unittest

sys.dont_write_bytecode = True  # keep the source tree clean


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--tolvex", required=True, help="the built program")
    ap.add_argument("modules", nargs="+")
    args = ap.parse_args()
    os.environ["TOLVEX_BIN"] = os.path.abspath(args.tolvex)
    here = os.path.dirname(os.path.abspath(__file__))
    sys.path.insert(0, here)
    suite = unittest.defaultTestLoader.loadTestsFromNames(args.modules)
    result = unittest.TextTestRunner(verbosity=2).run(suite)
    return 0 if result.wasSuccessful() and result.testsRun > 0 else 1


if __name__ == "__main__":
    sys.exit(main())
