"""The tests that need the probe module skip only when no build folder is named: under
`make test`, which names one in TARNWICK_PROBE_DIR, a missing probe fails the run."""

import os
import subprocess
import sys
from pathlib import Path

import pytest

TESTS = Path(__file__).resolve().parent
NEEDS_PROBE = "from build_probe import import_probe\n\nprobe = import_probe()\n\n\ndef test_it():\n    assert probe\n"


def run_pytest(tmp_path, probe_dir):
    (tmp_path / "test_needs_probe.py").write_text(NEEDS_PROBE)
    env = {k: v for k, v in os.environ.items() if k != "TARNWICK_PROBE_DIR"}
    env["PYTHONPATH"] = os.pathsep.join([str(TESTS), *filter(None, [env.get("PYTHONPATH")])])
    if probe_dir is not None:
        env["TARNWICK_PROBE_DIR"] = str(probe_dir)
    return subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", str(tmp_path)],
                          cwd=tmp_path, env=env, capture_output=True, text=True, timeout=120)


@pytest.mark.parametrize(
    "folder, code, summary",
    [
        # pytest against an installed package: no build folder, nothing to load (5: no
        # test ran, the file's only one being skipped).
        ("unset", 5, "1 skipped"),
        # A build folder without the probe is a broken build (2: collection failed).
        ("empty", 2, "1 error"),
        ("this_build", 0, "1 passed"),
    ],
)
def test_probe_is_skipped_only_without_a_build_folder(tmp_path, folder, code, summary):
    if folder == "this_build":
        if not os.environ.get("TARNWICK_PROBE_DIR"):
            pytest.skip("this run names no build folder")
        probe_dir = Path(os.environ["TARNWICK_PROBE_DIR"]).resolve()
    else:
        probe_dir = {"unset": None, "empty": tmp_path / "probe"}[folder]
        if probe_dir is not None:
            probe_dir.mkdir()
    r = run_pytest(tmp_path, probe_dir)
    assert r.returncode == code, r.stdout + r.stderr
    assert summary in r.stdout.splitlines()[-1]
    if folder == "empty":
        assert f"_tarnwick_probe is missing from TARNWICK_PROBE_DIR={probe_dir}" in r.stdout
