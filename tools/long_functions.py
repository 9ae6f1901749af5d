"""List the C++ functions under src/ whose bodies run longer than a limit.

A function's length counts the lines from the one holding its name to the one holding
its closing brace, both included, the way an editor's outline shows it. Lambdas and local
classes count toward the function around them; member functions defined in a class body
count on their own. The scan matches braces on the text with comments, string and
character literals and preprocessor lines blanked out, so a brace inside any of those
never counts.

Usage: long_functions.py [--over N] [--check] [ROOT]
    --over N   list functions longer than N lines (default 80)
    --check    exit 1 when any function is listed
    ROOT       the tree to scan (default: the repository's src/)
Prints one line per function, longest first: `lines  path:line  name`, then a count.
"""

from __future__ import annotations

import argparse
import re
import sys
from dataclasses import dataclass
from pathlib import Path

SUFFIXES = {".h", ".hpp", ".cpp", ".cc", ".inc", ".ipp"}
# Keywords whose braces open a scope that holds declarations rather than statements.
CONTAINERS = re.compile(r"\b(namespace|struct|class|union)\b")
# Braces that open something other than a function body after a parenthesis.
NOT_FUNCTIONS = re.compile(r"^\s*(if|for|while|switch|catch|return|else|do)\b")
IDENT = re.compile(r"[A-Za-z_~][A-Za-z_0-9]*(?:\s*::\s*~?[A-Za-z_][A-Za-z_0-9]*)*\s*$")


@dataclass(frozen=True)
class Function:
    path: str
    line: int  # 1-based line of the name
    name: str
    lines: int


def blank_out(text: str) -> str:
    """The text with comments, literals and preprocessor lines replaced by spaces (line
    breaks kept, so that positions map to the same lines)."""
    out = []
    i, n = 0, len(text)
    line_start = True
    while i < n:
        c = text[i]
        if line_start and c in " \t":
            out.append(c)
            i += 1
            continue
        if line_start and c == "#":
            # A directive, with its continuation lines.
            j = i
            while j < n and not (text[j] == "\n" and text[j - 1] != "\\"):
                j += 1
            out.append(re.sub(r"[^\n]", " ", text[i:j]))
            i = j
            continue
        line_start = False
        if text.startswith("//", i):
            j = text.find("\n", i)
            j = n if j < 0 else j
            out.append(" " * (j - i))
            i = j
        elif text.startswith("/*", i):
            j = text.find("*/", i + 2)
            j = n if j < 0 else j + 2
            out.append(re.sub(r"[^\n]", " ", text[i:j]))
            i = j
        elif c == "R" and text.startswith('R"', i) and (i == 0 or not (text[i - 1].isalnum() or text[i - 1] == "_")):
            open_paren = text.find("(", i + 2)
            delim = text[i + 2:open_paren]
            close = text.find(")" + delim + '"', open_paren)
            j = n if close < 0 else close + len(delim) + 2
            out.append(re.sub(r"[^\n]", " ", text[i:j]))
            i = j
        elif c in "\"'":
            # A digit separator (1'000'000) is no character literal.
            if c == "'" and i > 0 and text[i - 1].isalnum() and i + 1 < n and text[i + 1].isalnum():
                out.append(" ")
                i += 1
                continue
            j = i + 1
            while j < n and text[j] != c and text[j] != "\n":
                j += 2 if text[j] == "\\" else 1
            j = min(j + 1, n)
            out.append(c + " " * (j - i - 2) + c if j - i >= 2 else " " * (j - i))
            i = j
        else:
            if c == "\n":
                line_start = True
            out.append(c)
            i += 1
    return "".join(out)


def strip_templates(header: str) -> str:
    """The header without its `template <...>` parameter lists."""
    out = []
    i = 0
    for m in re.finditer(r"\btemplate\s*<", header):
        if m.start() < i:
            continue
        out.append(header[i:m.start()])
        depth, j = 1, m.end()
        while j < len(header) and depth:
            depth += {"<": 1, ">": -1}.get(header[j], 0)
            j += 1
        i = j
    out.append(header[i:])
    return "".join(out)


def top_level(text: str) -> str:
    """The text with everything inside parentheses, brackets and braces removed."""
    out, depth = [], 0
    for c in text:
        if c in "([{":
            depth += 1
        elif c in ")]}":
            depth = max(depth - 1, 0)
        elif depth == 0:
            out.append(c)
    return "".join(out)


def blank_specifiers(header: str) -> str:
    """The header with attributes and decltype(...) blanked out, positions kept: their
    parentheses come before the parameter list's."""
    out = list(header)
    for m in re.finditer(r"\b(__attribute__|decltype|alignas|__declspec)\s*\(|\[\[", header):
        depth, j = 0, m.start()
        opener, closer = ("[", "]") if m.group(0) == "[[" else ("(", ")")
        while j < len(header):
            depth += {opener: 1, closer: -1}.get(header[j], 0)
            j += 1
            if depth == 0 and j > m.end() - 1:
                break
        out[m.start():j] = " " * (j - m.start())
    return "".join(out)


def function_name(header: str) -> str | None:
    """The name of the function a header declares, or None when it declares none."""
    h = strip_templates(blank_specifiers(header))
    if NOT_FUNCTIONS.match(h) or "(" not in h:
        return None
    if CONTAINERS.search(top_level(h)) or re.search(r"\benum\b", h):
        return None
    # The first parenthesis at the top level opens the parameter list, except after
    # `operator()`.
    depth = 0
    for k, c in enumerate(h):
        if c in "([":
            if depth == 0 and c == "(":
                before = h[:k]
                if re.search(r"\boperator\s*$", before) and h[k:k + 2] == "()":
                    return "operator()"
                if "=" in top_level(before).replace("==", "").replace("operator=", ""):
                    return None  # an initialiser, such as a lambda stored in a variable
                m = IDENT.search(before)
                if m:
                    return re.sub(r"\s+", "", m.group(0))
                m = re.search(r"\boperator\s*(\S+)\s*$", before)
                return f"operator{m.group(1)}" if m else None
            depth += 1
        elif c in ")]":
            depth -= 1
    return None


def hollow(text: str) -> str:
    """The text with what stands inside parentheses, brackets and braces removed, the
    brackets themselves kept."""
    out, depth = [], 0
    for c in text:
        if c in ")]}":
            depth = max(depth - 1, 0)
        if depth == 0:
            out.append(c)
        if c in "([{":
            depth += 1
    return "".join(out)


def in_initialiser_list(header: str) -> bool:
    """Whether a brace reached after `header` initialises a member of a constructor's
    list rather than opening its body: `Ctor(...) : a_(x), b_{y} {`."""
    h = header.rstrip()
    if not h or not (h[-1].isalnum() or h[-1] in "_>"):
        return False
    return re.search(r"\)\s*(?:noexcept\s*(?:\(\))?\s*)?:(?!:)", hollow(h)) is not None


def functions_in(path: Path, rel: str) -> list[Function]:
    text = blank_out(path.read_text(encoding="utf-8", errors="replace"))
    line_at = [0] * (len(text) + 1)
    line = 1
    for k, c in enumerate(text):
        line_at[k] = line
        if c == "\n":
            line += 1
    line_at[len(text)] = line

    found: list[Function] = []
    # Each open brace: ("scope", None) for a namespace or class body, ("function", start)
    # for a function body, ("block", None) for anything else.
    stack: list[tuple[str, int | None, str]] = []
    header_start = 0
    i, n = 0, len(text)
    while i < n:
        c = text[i]
        inside_function = any(kind == "function" for kind, _, _ in stack)
        if c == ";":
            header_start = i + 1
        elif c == "{":
            header = text[header_start:i]
            if inside_function:
                stack.append(("block", None, ""))
            elif in_initialiser_list(header):
                # Skip the member's braces and keep reading the same header.
                depth, j = 1, i + 1
                while j < n and depth:
                    depth += {"{": 1, "}": -1}.get(text[j], 0)
                    j += 1
                i = j
                continue
            else:
                name = function_name(header)
                if name is not None:
                    name_at = header_start + header.find(name.split("::")[-1].split("(")[0])
                    stack.append(("function", name_at, name))
                elif CONTAINERS.search(top_level(strip_templates(header))) or re.search(r"\bextern\b", header):
                    stack.append(("scope", None, ""))
                else:
                    stack.append(("block", None, ""))
            header_start = i + 1
        elif c == "}":
            if stack:
                kind, start, name = stack.pop()
                if kind == "function" and start is not None:
                    found.append(Function(rel, line_at[start], name, line_at[i] - line_at[start] + 1))
            header_start = i + 1
        i += 1
    return found


def scan(root: Path) -> list[Function]:
    out: list[Function] = []
    for path in sorted(root.rglob("*")):
        if path.suffix in SUFFIXES and path.is_file():
            out.extend(functions_in(path, path.relative_to(root.parent).as_posix()))
    return out


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--over", type=int, default=80)
    parser.add_argument("--check", action="store_true")
    parser.add_argument("root", nargs="?", default=str(Path(__file__).resolve().parent.parent / "src"))
    args = parser.parse_args(argv)
    long = sorted((f for f in scan(Path(args.root)) if f.lines > args.over), key=lambda f: (-f.lines, f.path, f.line))
    for f in long:
        print(f"{f.lines:5d}  {f.path}:{f.line}  {f.name}")
    print(f"{len(long)} functions over {args.over} lines")
    return 1 if args.check and long else 0


if __name__ == "__main__":
    sys.exit(main())
