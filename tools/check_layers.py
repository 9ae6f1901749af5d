"""Fail when a compiled file included a header of a layer it may not use.

The engine's folders under src/ are layers; each may use itself and the layers listed for
it below, nothing else. The C++ tests under tests/cpp/<layer>/ are held to the rule of
their layer (they may also use the shared support files directly in tests/cpp/ and the
fixtures of the layers they may use); src/ never includes the tests.

What a file included is read from the compiler's own record, kept by the build (the
dependency files that `ninja -t deps` lists), so an include in angle brackets, one
spelled through a macro, one in a .inc file or one that climbs out of its folder with
"../" is seen like any other. When a header of a forbidden layer shows up, the compiler
is asked again (-H, with the build's own command for that file) which file included it,
and that file is named. Files outside the known folders, and build lines that do not
mirror the table below, fail too.

Usage: check_layers.py --build BUILD_DIR [--ninja NINJA] [--root ROOT]
"""

from __future__ import annotations

import argparse
import functools
import json
import os
import re
import shlex
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

# Each layer and the layers it may use; keep in step with CMakeLists.txt.
LAYERS: dict[str, tuple[str, ...]] = {
    "base": (),
    "domain": ("base",),
    "metrics": ("base", "domain"),
    "engine": ("base", "domain", "metrics"),
    "indicators": ("base", "domain"),
    "signals": ("base", "domain"),
    "data": ("base", "domain"),
    "runners": ("base", "domain", "metrics", "engine", "indicators", "signals", "data"),
    "analytics": ("base", "domain"),
    "python": ("base", "domain", "metrics", "engine", "indicators", "signals", "data",
               "runners", "analytics"),
}

SUFFIXES = {".h", ".cpp"}
LAYER_LINE = re.compile(r"^\s*tarnwick_layer\(\s*(\w+)([^)]*)\)", re.MULTILINE)


def rule_text(layer: str) -> str:
    uses = LAYERS[layer]
    return f"{layer} may use {', '.join(uses)}" if uses else f"{layer} may use no other layer"


class Place:
    """Where a file of the repository stands: its kind and its layer."""

    def __init__(self, kind: str, layer: str | None):
        self.kind = kind    # "src", "test" (a layer's tests and fixtures), "support" (tests/cpp/*)
        self.layer = layer


@functools.lru_cache(maxsize=None)
def resolved(path: Path) -> Path:
    return path.resolve()


@functools.lru_cache(maxsize=None)
def mtime_ns(path: Path) -> int | None:
    try:
        return path.stat().st_mtime_ns
    except FileNotFoundError:
        return None


@functools.lru_cache(maxsize=None)
def place_of(root: Path, path: Path) -> Place | None:
    try:
        parts = resolved(path).relative_to(root).parts
    except ValueError:
        return None  # outside the repository: the standard library, GoogleTest, Python
    if len(parts) > 2 and parts[0] == "src" and parts[1] in LAYERS:
        return Place("src", parts[1])
    if len(parts) > 3 and parts[:2] == ("tests", "cpp") and parts[2] in LAYERS:
        return Place("test", parts[2])
    if len(parts) == 3 and parts[:2] == ("tests", "cpp"):
        return Place("support", None)
    if len(parts) > 2 and parts[:2] == ("tests", "probe"):
        return Place("test", "python")
    if parts[0] == "src" or parts[:2] == ("tests", "cpp"):
        return Place("elsewhere", None)
    return None  # the build folder, the virtual environment: not ours to judge


def may_include(user: Place, dep: Place) -> bool:
    if dep.kind == "elsewhere" or user.kind == "elsewhere":
        return False
    if dep.kind == "support":
        return user.kind != "src"
    if user.kind == "support":
        return False  # the shared support uses no layer
    if dep.kind == "test" and user.kind == "src":
        return False
    return dep.layer == user.layer or dep.layer in LAYERS[user.layer]


def refusal(root: Path, user: Path, dep: Path, place: Place) -> str:
    if place.kind == "src" and place_of(root, dep).kind in ("test", "support"):
        why = "src/ does not use the tests"
    elif place.kind == "support":
        why = "the shared test support uses no layer"
    else:
        why = rule_text(place.layer)
    return f"{rel(root, user)}: includes {rel(root, dep)}: {why}"


def rel(root: Path, path: Path) -> str:
    try:
        return str(path.resolve().relative_to(root))
    except ValueError:
        return str(path)


def check_files(root: Path) -> list[str]:
    """Every source and test file lies in a known folder and is a kind the build knows."""
    problems: list[str] = []
    for base, known in ((root / "src", "src/<layer>/"), (root / "tests" / "cpp", "tests/cpp/ or tests/cpp/<layer>/")):
        if not base.is_dir():
            continue
        for path in sorted(p for p in base.rglob("*") if p.is_file()):
            place = place_of(root, path)
            if place is None or place.kind == "elsewhere":
                problems.append(f"{rel(root, path)}: lies outside the known folders ({known}, "
                                f"layers {', '.join(LAYERS)})")
            elif path.suffix not in SUFFIXES:
                problems.append(f"{rel(root, path)}: is not a header (.h) or source (.cpp): the build and "
                                f"this check know only those")
    return problems


def check_build_lines(root: Path) -> list[str]:
    cmake = root / "CMakeLists.txt"
    if not cmake.is_file():
        return []
    declared = {m.group(1): set(re.findall(r"\w+", m.group(2).split("EXTERNAL")[0])) - {"USES"}
                for m in LAYER_LINE.finditer(cmake.read_text(encoding="utf-8"))}
    problems: list[str] = []
    for layer, uses in LAYERS.items():
        if layer == "python":
            continue  # the binding layer links every layer, declared by hand
        if layer not in declared:
            problems.append(f"CMakeLists.txt: no tarnwick_layer({layer} ...) line")
        elif declared[layer] != set(uses):
            problems.append(f"CMakeLists.txt: tarnwick_layer({layer}) uses "
                            f"{', '.join(sorted(declared[layer])) or 'nothing'}: {rule_text(layer)}")
    for layer in declared.keys() - LAYERS.keys():
        problems.append(f"CMakeLists.txt: tarnwick_layer({layer}) is not a known layer")
    return problems


def read_deps(build: Path, ninja: str) -> dict[Path, list[Path]]:
    """Each compiled source and the files the compiler read for it, from the build's log."""
    out = subprocess.run([ninja, "-C", str(build), "-t", "deps"], capture_output=True, text=True, check=True).stdout
    compiled: dict[Path, list[Path]] = {}
    deps: list[Path] | None = None
    for line in out.splitlines():
        if not line.strip():
            deps = None
        elif not line.startswith(" "):
            deps = []
        elif deps is not None:
            path = Path(line.strip())
            path = path if path.is_absolute() else build / path
            if not deps:
                compiled[resolved(path)] = deps  # the first is the file compiled
            deps.append(path)
    return compiled


def compile_commands(build: Path) -> dict[Path, tuple[str, list[str], Path | None]]:
    """Each compiled source: the folder its command runs in, the command, and its object file."""
    commands = build / "compile_commands.json"
    if not commands.is_file():
        return {}
    out = {}
    for entry in json.loads(commands.read_text()):
        args = shlex.split(entry["command"]) if "command" in entry else list(entry["arguments"])
        obj = Path(entry["directory"], args[args.index("-o") + 1]) if "-o" in args else None
        out[Path(entry["directory"], entry["file"]).resolve()] = (entry["directory"], args, obj)
    return out


def includer_edges(command: tuple[str, list[str], Path | None], source: Path) -> list[tuple[Path, Path]]:
    """Every (includer, included) pair of one compiled file, by the preprocessor's -H listing.

    Only the preprocessor runs, so a file that does not compile (an include that closes a
    cycle, a declaration it lacks) is listed all the same.
    """
    directory, args, _ = command
    kept, skip = [], False
    for a in args:
        if skip:
            skip = False
        elif a in ("-o", "-MT", "-MF", "-MQ"):
            skip = True
        elif a not in ("-c", "-MD", "-MMD"):
            kept.append(a)
    run = subprocess.run(kept + ["-E", "-H", "-o", os.devnull], cwd=directory, capture_output=True, text=True)
    edges, stack = [], [source]
    for line in run.stderr.splitlines():
        m = re.match(r"^(\.+) (.+)$", line)
        if not m:
            continue
        depth, child = len(m.group(1)), Path(directory, m.group(2)).resolve()
        if depth > len(stack):
            continue
        edges.append((stack[depth - 1], child))
        stack = stack[:depth] + [child]
    return edges


def up_to_date(deps: list[Path] | None, obj: Path | None) -> bool:
    """Whether the build's record still describes the file: its object is newer than all it read."""
    built = mtime_ns(obj) if obj is not None else None
    if not deps or built is None:
        return False
    return all((mtime_ns(d) or 0) <= built for d in deps)


def check_includes(root: Path, build: Path, ninja: str) -> list[str]:
    recorded = read_deps(build, ninja)
    commands = compile_commands(build)
    sources = {src for src in set(recorded) | set(commands)
               if place_of(root, src) is not None and place_of(root, src).kind != "elsewhere"}
    if not sources:
        return [f"{build}: the build kept no record of what its files included: build it first"]

    # The build's record where it is current; the preprocessor's own listing where the file
    # failed to compile, was never compiled, or changed since.
    def listing(source: Path) -> tuple[Path, list[tuple[Path, Path]] | None, list[Path]]:
        command = commands.get(source)
        if command is not None and not up_to_date(recorded.get(source), command[2]):
            edges = includer_edges(command, source)
            return source, edges, [child for _, child in edges]
        return source, None, recorded.get(source, [])[1:]

    with ThreadPoolExecutor(max_workers=os.cpu_count() or 4) as pool:
        listings = list(pool.map(listing, sorted(sources)))

    problems: list[str] = []
    for source, edges, deps in listings:
        place = place_of(root, source)
        bad = sorted({resolved(d) for d in deps if place_of(root, d) is not None
                      and not may_include(place, place_of(root, d))})
        if not bad:
            continue
        if edges is None and source in commands:
            edges = includer_edges(commands[source], source)  # ask which file included it
        named = False
        for user, dep in edges or []:
            user_place, dep_place = place_of(root, user), place_of(root, dep)
            if user_place is None or dep_place is None or user_place.kind == "elsewhere":
                continue
            if not may_include(user_place, dep_place):
                problems.append(refusal(root, user, dep, user_place))
                named = True
        if not named:  # the compiler could not be asked: name the compiled file
            problems += [refusal(root, source, dep, place) for dep in bad]
    return sorted(set(problems))


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", type=Path, required=True, help="the build folder (Ninja) to read")
    parser.add_argument("--ninja", default="ninja", help="the ninja that made it")
    parser.add_argument("--root", type=Path, default=Path(__file__).resolve().parent.parent)
    args = parser.parse_args(argv[1:])
    root = args.root.resolve()
    problems = check_files(root) + check_build_lines(root) + check_includes(root, args.build.resolve(), args.ninja)
    for p in problems:
        print(p, file=sys.stderr)
    if problems:
        print(f"{len(problems)} file(s), include(s) or build line(s) break the layer rules", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
