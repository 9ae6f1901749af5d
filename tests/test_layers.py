"""The layer check fails `make test` on an include that breaks a layer's rule."""

import shutil
import subprocess
import sys
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parent.parent
CHECK = REPO / "tools" / "check_layers.py"


def run_check(root: Path) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, str(CHECK), str(root)], capture_output=True, text=True)


@pytest.fixture
def tree(tmp_path: Path) -> Path:
    shutil.copy(REPO / "CMakeLists.txt", tmp_path / "CMakeLists.txt")
    for rel, text in {
        "src/base/result.h": "#pragma once\n",
        "src/domain/bar.h": '#pragma once\n#include "base/result.h"\n',
        "src/engine/kernel.h": '#pragma once\n#include "domain/bar.h"\n#include "metrics/m.h"\n',
        "src/metrics/m.h": '#pragma once\n#include "domain/bar.h"\n',
        "src/signals/s.h": "#pragma once\n",
        "tests/cpp/engine/test_kernel.cpp": '#include "engine/kernel.h"\n#include "kernel_fixtures.h"\n',
    }.items():
        (tmp_path / rel).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / rel).write_text(text)
    return tmp_path


def test_repository_holds_its_layers():
    result = run_check(REPO)
    assert result.returncode == 0, result.stderr


def test_clean_tree_passes(tree):
    result = run_check(tree)
    assert result.returncode == 0, result.stderr


@pytest.mark.parametrize(
    "rel, line, expected",
    [
        # upward: a record reaching into the engine
        ("src/domain/bar.h", '#include "engine/kernel.h"',
         'src/domain/bar.h:3: includes "engine/kernel.h": domain may use base'),
        # across: two sibling layers
        ("src/indicators/i.h", '#include "signals/s.h"',
         'src/indicators/i.h:2: includes "signals/s.h": indicators may use base, domain'),
        # a relative include that climbs into another layer's folder
        ("src/base/deep/x.h", '#include "../../domain/bar.h"',
         'src/base/deep/x.h:2: includes "../../domain/bar.h": base may use no other layer'),
        # a test is held to the rule of the layer it sits in
        ("tests/cpp/metrics/test_m.cpp", '#include "engine/kernel.h"',
         'tests/cpp/metrics/test_m.cpp:2: includes "engine/kernel.h": metrics may use base, domain'),
    ],
)
def test_planted_include_fails_naming_file_include_and_rule(tree, rel, line, expected):
    path = tree / rel
    path.parent.mkdir(parents=True, exist_ok=True)
    before = path.read_text() if path.exists() else "#pragma once\n"
    path.write_text(before + line + "\n")
    result = run_check(tree)
    assert result.returncode == 1
    assert expected in result.stderr


def test_file_outside_layer_folders_fails(tree):
    (tree / "src" / "helpers.h").write_text("#pragma once\n")
    result = run_check(tree)
    assert result.returncode == 1
    assert "src/helpers.h: lies in no layer folder" in result.stderr


def test_build_line_drifting_from_table_fails(tree):
    cmake = tree / "CMakeLists.txt"
    text = cmake.read_text()
    assert "tarnwick_layer(signals    USES base domain)" in text
    cmake.write_text(text.replace("tarnwick_layer(signals    USES base domain)",
                                  "tarnwick_layer(signals    USES base domain engine)"))
    result = run_check(tree)
    assert result.returncode == 1
    assert "tarnwick_layer(signals) uses base, domain, engine: signals may use base, domain" in result.stderr
