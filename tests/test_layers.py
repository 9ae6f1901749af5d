"""The layer rule is the compiler's and the linker's.

A small project built with the real build functions (cmake/layers.cmake) and checked by
the real tools/check_layers.py: an include of a layer a file may not use is named, however
it is spelled, from what the compiler read; a test that reaches across a layer does not
link; files outside the known folders and build lines that drift from the table fail.
"""

import importlib.util
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parent.parent
CHECK = REPO / "tools" / "check_layers.py"
BIN = Path(sys.executable).parent
# The tools run without the sanitizer runtime that the sanitizer suite preloads into Python.
ENV = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
# The project's layers are the check's own table; the binding layer is left out.
_spec = importlib.util.spec_from_file_location("check_layers", CHECK)
check_layers = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(check_layers)
RULES = {layer: uses for layer, uses in check_layers.LAYERS.items() if layer != "python"}
LAYERS = list(RULES)
LAYER_LINES = "\n".join(f"tarnwick_layer({layer}{' USES ' + ' '.join(uses) if uses else ''})"
                        for layer, uses in RULES.items())

CMAKE = f"""cmake_minimum_required(VERSION 3.25)
project(layers_probe CXX)
set(CMAKE_CXX_STANDARD 20)
set(TARNWICK_FLAGS -Wall)
set(TARNWICK_SOURCE_FLAGS -Wall)
include({REPO / "cmake" / "layers.cmake"})
set(CMAKE_EXPORT_COMPILE_COMMANDS ON)
{LAYER_LINES}
find_package(GTest REQUIRED)
include(GoogleTest)
foreach(layer base domain engine)
  tarnwick_layer_tests(${{layer}})
endforeach()
"""

FILES = {
    "src/base/value.h": "#pragma once\nint base_value();\n",
    "src/base/value.cpp": '#include "base/value.h"\nint base_value() { return 1; }\n',
    "src/domain/bar.h": '#pragma once\n#include "base/value.h"\nint bar_value();\n',
    "src/domain/bar.cpp": '#include "domain/bar.h"\nint bar_value() { return base_value() + 1; }\n',
    "src/engine/kernel.h": '#pragma once\n#include "domain/bar.h"\nint kernel_value();\n',
    "src/engine/kernel.cpp": '#include "engine/kernel.h"\nint kernel_value() { return bar_value() + 1; }\n',
    "tests/cpp/base/test_value.cpp": ('#include <gtest/gtest.h>\n#include "base/value.h"\n'
                                      "TEST(Value, Is) { EXPECT_EQ(base_value(), 1); }\n"),
}


def build(root: Path) -> subprocess.CompletedProcess[str]:
    out = root / "build"
    if not (out / "build.ninja").exists():
        subprocess.run([BIN / "cmake", "-S", root, "-B", out, "-G", "Ninja", f"-DCMAKE_MAKE_PROGRAM={BIN / 'ninja'}"],
                       check=True, capture_output=True, env=ENV)
    return subprocess.run([BIN / "cmake", "--build", out], capture_output=True, text=True, env=ENV)


def check(root: Path) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, CHECK, "--root", root, "--build", root / "build", "--ninja", BIN / "ninja"],
                          capture_output=True, text=True, env=ENV)


@pytest.fixture(scope="module")
def project(tmp_path_factory):
    if shutil.which("c++") is None:
        pytest.fail("a C++ compiler is needed to build the layers' test project")
    root = tmp_path_factory.mktemp("layers")
    (root / "CMakeLists.txt").write_text(CMAKE)
    for layer in LAYERS:  # a layer library needs a source of its own
        (root / "src" / layer).mkdir(parents=True, exist_ok=True)
        (root / "src" / layer / f"{layer}_unit.cpp").write_text(f"int {layer}_unit() {{ return 0; }}\n")
    for rel, text in FILES.items():
        (root / rel).parent.mkdir(parents=True, exist_ok=True)
        (root / rel).write_text(text)
    result = build(root)
    assert result.returncode == 0, result.stdout + result.stderr
    return root


@pytest.fixture
def planted(project):
    """The project, with the files a case plants put back as they were afterwards."""
    saved = {rel: ((project / rel).read_text(), (project / rel).stat().st_mtime_ns) for rel in FILES}
    added: list[Path] = []
    yield project, added
    for path in added:
        path.unlink(missing_ok=True)
    # Put back as built, times included, so that the next case starts from a current build.
    for rel, (text, mtime) in saved.items():
        (project / rel).write_text(text)
        os.utime(project / rel, ns=(mtime, mtime))
    if any(p.suffix == ".cpp" for p in added):
        assert build(project).returncode == 0


def plant(root: Path, added: list[Path], rel: str, text: str, append: bool = True) -> None:
    path = root / rel
    if not path.exists():
        added.append(path)
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(text)
    else:
        path.write_text(path.read_text() + text if append else text)


def test_a_clean_project_passes(project):
    result = check(project)
    assert result.returncode == 0, result.stderr


# Changed files need no build to be judged: the check asks the preprocessor about every
# compiled file that changed since the build. A new source needs one, to be listed.
@pytest.mark.parametrize("rel, text, named", [
    # upward, as the engine's headers are spelled, in angle brackets
    ("src/domain/bar.h", "#include <engine/kernel.h>\n",
     "src/domain/bar.h: includes src/engine/kernel.h: domain may use base"),
    # through a macro
    ("src/domain/bar.h", "#define KERNEL <engine/kernel.h>\n#include KERNEL\n",
     "src/domain/bar.h: includes src/engine/kernel.h: domain may use base"),
    # climbing out of its folder
    ("src/base/value.h", '#include "../domain/bar.h"\n',
     "src/base/value.h: includes src/domain/bar.h: base may use no other layer"),
    # across: sibling layers
    ("src/indicators/i.cpp", '#include "signals/s.h"\n#include "domain/bar.h"\n',
     "src/indicators/i.cpp: includes src/signals/s.h: indicators may use base, domain"),
    # a test is held to the rule of its layer
    ("tests/cpp/base/test_value.cpp", '#include "domain/bar.h"\n',
     "tests/cpp/base/test_value.cpp: includes src/domain/bar.h: base may use no other layer"),
    # the engine does not use the tests
    ("src/engine/kernel.cpp", '#include "../../tests/cpp/engine/fixture.h"\n',
     "src/engine/kernel.cpp: includes tests/cpp/engine/fixture.h: src/ does not use the tests"),
])
def test_an_include_a_layer_may_not_use_is_named_from_what_the_compiler_read(planted, rel, text, named):
    root, added = planted
    plant(root, added, "src/signals/s.h", "#pragma once\n")
    plant(root, added, "tests/cpp/engine/fixture.h", "#pragma once\n")
    plant(root, added, rel, text)
    if rel.endswith("i.cpp"):
        build(root)
    result = check(root)
    assert result.returncode == 1
    assert named in result.stderr


def test_an_include_through_an_inc_file_names_the_file_and_refuses_its_kind(planted):
    root, added = planted
    plant(root, added, "src/domain/detail.inc", "#include <engine/kernel.h>\n")
    plant(root, added, "src/domain/bar.h", '#include "domain/detail.inc"\n')
    result = check(root)
    assert result.returncode == 1
    assert "src/domain/detail.inc: includes src/engine/kernel.h: domain may use base" in result.stderr
    assert "src/domain/detail.inc: is not a header (.h) or source (.cpp)" in result.stderr


def test_a_test_reaching_across_its_layer_does_not_link_and_is_named(planted):
    root, added = planted
    plant(root, added, "src/domain/bar.h", "#include <engine/kernel.h>\n")
    plant(root, added, "tests/cpp/domain/test_reach.cpp",
          '#include <gtest/gtest.h>\n#include "engine/kernel.h"\nTEST(Reach, Kernel) { EXPECT_EQ(kernel_value(), 3); }\n')
    built = build(root)
    assert built.returncode != 0
    assert "kernel_value" in built.stdout + built.stderr  # an undefined reference at the link
    result = check(root)
    assert result.returncode == 1
    assert "src/domain/bar.h: includes src/engine/kernel.h: domain may use base" in result.stderr
    assert "tests/cpp/domain/test_reach.cpp: includes src/engine/kernel.h: domain may use base" in result.stderr


@pytest.mark.parametrize("rel, named", [
    ("src/helpers.h", "src/helpers.h: lies outside the known folders"),
    ("src/widgets/w.h", "src/widgets/w.h: lies outside the known folders"),
    ("tests/cpp/misc/test_x.cpp", "tests/cpp/misc/test_x.cpp: lies outside the known folders"),
])
def test_a_file_outside_the_known_folders_fails(planted, rel, named):
    root, added = planted
    plant(root, added, rel, "#pragma once\n")
    result = check(root)
    assert result.returncode == 1
    assert named in result.stderr


def test_a_build_line_drifting_from_the_table_fails(planted):
    root, added = planted
    cmake = root / "CMakeLists.txt"
    text = cmake.read_text()
    try:
        cmake.write_text(text.replace("tarnwick_layer(signals USES base domain)",
                                      "tarnwick_layer(signals USES base domain engine)"))
        result = check(root)
    finally:
        cmake.write_text(text)
    assert result.returncode == 1
    assert "tarnwick_layer(signals) uses base, domain, engine: signals may use base, domain" in result.stderr
