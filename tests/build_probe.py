"""The test-only probe extension, which lives in the build folder, not in the package.

`make test` names that folder in TARNWICK_PROBE_DIR. A probe missing from it is a broken
build, so the tests that need it fail there instead of skipping; only a run that names no
build folder (pytest against an installed package) skips them.
"""

import importlib
import os
import sys

import pytest

PROBE = "_tarnwick_probe"


def import_probe():
    folder = os.environ.get("TARNWICK_PROBE_DIR")
    if not folder:
        pytest.skip(f"TARNWICK_PROBE_DIR is unset: {PROBE} is built in the build folder only",
                    allow_module_level=True)
    if folder not in sys.path:
        sys.path.insert(0, folder)
    try:
        return importlib.import_module(PROBE)
    except ImportError as e:
        pytest.fail(f"{PROBE} is missing from TARNWICK_PROBE_DIR={folder}: {e}", pytrace=False)
