"""Fail on an include that points up a layer or across to a layer it may not use.

The engine's folders under src/ are layers; each may include itself and the layers
listed for it below, nothing else. The C++ tests under tests/cpp/<layer>/ are held to
the rule of their layer. The build's `tarnwick_layer(...)` lines must list the same
uses, so that the linker and this check cannot drift apart.

Usage: check_layers.py [ROOT]   (ROOT defaults to the repository holding this file)
"""

from __future__ import annotations

import re
import sys
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

SOURCE_SUFFIXES = {".h", ".hpp", ".cpp", ".cc"}
INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"')
LAYER_LINE = re.compile(r"^\s*tarnwick_layer\(\s*(\w+)([^)]*)\)", re.MULTILINE)


def rule_text(layer: str) -> str:
    uses = LAYERS[layer]
    return f"{layer} may use {', '.join(uses)}" if uses else f"{layer} may use no other layer"


def include_target(root: Path, source: Path, name: str) -> str | None:
    """The layer an include names, or None when it names no layer (a test fixture)."""
    first = name.split("/", 1)[0]
    if first in LAYERS and "/" in name:
        return first
    # A relative include resolves against the including file; it may still climb into
    # another layer's folder.
    resolved = (source.parent / name).resolve()
    src = (root / "src").resolve()
    if resolved.is_relative_to(src):
        parts = resolved.relative_to(src).parts
        if len(parts) > 1 and parts[0] in LAYERS:
            return parts[0]
    return None


def check_sources(root: Path) -> list[str]:
    problems: list[str] = []
    for base in (root / "src", root / "tests" / "cpp"):
        if not base.is_dir():
            continue
        for path in sorted(base.rglob("*")):
            if path.suffix not in SOURCE_SUFFIXES or not path.is_file():
                continue
            rel = path.relative_to(base).parts
            layer = rel[0] if len(rel) > 1 else None
            if layer not in LAYERS:
                if base.name == "src":
                    problems.append(f"{path.relative_to(root)}: lies in no layer folder "
                                    f"(src/ holds only {', '.join(LAYERS)})")
                continue
            allowed = {layer, *LAYERS[layer]}
            text = path.read_text(encoding="utf-8", errors="replace")
            for lineno, line in enumerate(text.splitlines(), 1):
                m = INCLUDE.match(line)
                if not m:
                    continue
                target = include_target(root, path, m.group(1))
                if target is not None and target not in allowed:
                    problems.append(f'{path.relative_to(root)}:{lineno}: includes "{m.group(1)}": '
                                    f"{rule_text(layer)}")
    return problems


def check_build(root: Path) -> list[str]:
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


def main(argv: list[str]) -> int:
    root = Path(argv[1]) if len(argv) > 1 else Path(__file__).resolve().parent.parent
    problems = check_sources(root) + check_build(root)
    for p in problems:
        print(p, file=sys.stderr)
    if problems:
        print(f"{len(problems)} include(s) or build line(s) break the layer rules", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
