import os
import sys

# The test-only probe extension lives in the build tree, not in the installed package.
_probe_dir = os.environ.get("TARNWICK_PROBE_DIR")
if _probe_dir:
    sys.path.insert(0, _probe_dir)
