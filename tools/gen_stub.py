"""Writes python/tarnwick/_tarnwick.pyi from the module itself.

The names, their order, the docstrings and the text signatures are read from the built
module; the annotation of every parameter, return value and attribute comes from the
binding layer's typed declarations, which the test-only probe module lists
(`_tarnwick_probe.declarations()`). Nothing in the stub is written by hand.

    python tools/gen_stub.py            # rewrites the stub
    python tools/gen_stub.py --check    # fails, naming the stub, when it differs from what would be written

The probe module is found through TARNWICK_PROBE_DIR (make test sets it).
"""
import argparse
import os
import sys
from pathlib import Path

STUB = Path(__file__).resolve().parent.parent / "python" / "tarnwick" / "_tarnwick.pyi"
WIDTH = 110
KINDS = ("function", "method", "static_method", "constructor")
HEADER = (
    "# Written by tools/gen_stub.py from the module's declarations: do not edit by hand.\n"
    "# make test fails when this file differs from what the tool writes.\n"
)


def load():
    probe_dir = os.environ.get("TARNWICK_PROBE_DIR")
    if probe_dir and probe_dir not in sys.path:
        sys.path.insert(0, probe_dir)
    import _tarnwick_probe
    import tarnwick._tarnwick as module

    listed = _tarnwick_probe.declarations()
    callables = {}
    for display, kind, params, returns in listed["callables"]:
        callables[display] = (KINDS[kind], params, returns)
    attributes = {(owner, name): (annotation, writable) for owner, name, annotation, writable in listed["attributes"]}
    return module, callables, attributes, listed["aliases"]


def docstring(text, indent):
    """The docstring as a stub writes it, indented under its definition."""
    if not text:
        return []
    text = text.replace("\\", "\\\\").replace('"""', '\\"\\"\\"')
    lines = text.split("\n")
    if len(lines) == 1:
        return [f'{indent}"""{text}{" " if text.endswith(chr(34)) else ""}"""']
    out = [f'{indent}"""{lines[0]}']
    out += [f"{indent}{line}" if line else "" for line in lines[1:]]
    out.append(f'{indent}"""')
    return out


def parameter_list(params, first):
    out = [first] if first else []
    for name, annotation, has_default, default in params:
        out.append(f"{name}: {annotation} = {default}" if has_default else f"{name}: {annotation}")
    return out


def definition(indent, decorator, name, params, first, returns, doc):
    lines = [f"{indent}{decorator}"] if decorator else []
    items = parameter_list(params, first)
    head = f"{indent}def {name}({', '.join(items)}) -> {returns}:"
    if len(head) + 4 > WIDTH:
        lines.append(f"{indent}def {name}(")
        lines += [f"{indent}    {item}," for item in items]
        head = f"{indent}) -> {returns}:"
    body = docstring(doc, indent + "    ")
    if body:
        lines.append(head)
        lines += body
    else:
        lines.append(head + " ...")
    return lines


def alias_lines(name, definition_text):
    line = f"{name} = {definition_text}"
    if len(line) <= WIDTH:
        return [line]
    inner = definition_text[definition_text.index("[") + 1:-1]
    out = [f"{name} = {definition_text[:definition_text.index('[') + 1]}"]
    row = "   "
    for item in inner.split(", "):
        if len(row) + len(item) + 2 > WIDTH:
            out.append(row.rstrip())
            row = "   "
        row += f" {item},"
    out.append(row)
    out.append("]")
    return out


class Missing(Exception):
    pass


def declared(callables, display):
    if display not in callables:
        raise Missing(f"no typed declaration of {display}")
    return callables[display]


def class_lines(cls, callables, attributes):
    name = cls.__name__
    lines = ["@final", f"class {name}:"]
    lines += docstring(cls.__doc__, "    ")
    body = []
    members = vars(cls)
    for attr, value in members.items():
        if type(value).__name__ == "getset_descriptor":
            key = (name, attr)
            if key not in attributes:
                raise Missing(f"no typed declaration of the attribute {name}.{attr}")
            annotation, writable = attributes[key]
            if writable:
                body.append(f"    {attr}: {annotation}")
                body += docstring(value.__doc__, "    ")
            else:
                body += definition("    ", "@property", attr, [], "self", annotation, value.__doc__)
    if f"{name}.__new__" in callables:
        _, params, returns = callables[f"{name}.__new__"]
        body += definition("    ", None, "__new__", params, "cls", returns, None)
    for attr, value in members.items():
        if attr.startswith("_") or type(value).__name__ == "getset_descriptor":
            continue
        kind, params, returns = declared(callables, f"{name}.{attr}")
        # The runtime's __doc__ already leaves out the text-signature head.
        doc = getattr(cls, attr).__doc__
        if kind == "static_method":
            body += definition("    ", "@staticmethod", attr, params, None, returns, doc)
        else:
            body += definition("    ", None, attr, params, "self", returns, doc)
    if "__len__" in members:
        body.append("    def __len__(self) -> int: ...")
    return lines + (body or ["    ..."])


def write(module, callables, attributes, aliases):
    constants = [n for n in module.__all__ if not callable(getattr(module, n))]
    sections = [HEADER.rstrip("\n")]
    sections.append("from typing import Final, final\n\nimport numpy as np\nfrom numpy.typing import NDArray")
    sections.append("__all__ = [\n" + "".join(f'    "{n}",\n' for n in module.__all__) + "]")
    sections.append("\n".join(f"{n}: Final[{type(getattr(module, n)).__name__}]" for n in constants))
    if aliases:
        sections.append("\n".join(line for a in aliases for line in alias_lines(*a)))
    for n in module.__all__:
        if n in constants:
            continue
        obj = getattr(module, n)
        if isinstance(obj, type):
            sections.append("\n".join(class_lines(obj, callables, attributes)))
        else:
            kind, params, returns = declared(callables, n)
            sections.append("\n".join(definition("", None, n, params, None, returns, obj.__doc__)))
    return "\n\n".join(sections) + "\n"


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--check", action="store_true", help="compare with the checked-in stub instead of writing")
    parser.add_argument("--stub", type=Path, default=STUB, help="the stub to write or compare (default: the package's)")
    args = parser.parse_args(argv)
    stub = args.stub.resolve()
    try:
        text = write(*load())
    except Missing as e:
        sys.exit(f"{stub.name}: cannot be written: {e}")
    if args.check:
        if stub.read_text() != text:
            shown = stub.relative_to(Path.cwd()) if stub.is_relative_to(Path.cwd()) else stub
            sys.exit(f"{shown} differs from what tools/gen_stub.py writes from the module: run "
                     f"`python tools/gen_stub.py` and commit the result (a hand edit of {stub.name} is overwritten)")
        return
    stub.write_text(text)


if __name__ == "__main__":
    main()
