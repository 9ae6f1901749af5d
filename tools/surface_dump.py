"""Prints the module's documented surface: __all__, and for every name in it the docstring and
text signature, and for classes every method's and attribute's as well.

A refactor of the binding layer must leave this output byte for byte as it was:

    .venv/bin/python tools/surface_dump.py > before.txt   # ... change ...
    .venv/bin/python tools/surface_dump.py | diff before.txt -
"""
import sys

import tarnwick._tarnwick as m


def describe(label, obj, out):
    out.append(f"== {label}")
    out.append(f"text_signature: {getattr(obj, '__text_signature__', None)!r}")
    out.append(f"doc: {getattr(obj, '__doc__', None)!r}")


def main():
    out = [f"module doc: {m.__doc__!r}", f"__all__: {m.__all__!r}"]
    for name in m.__all__:
        obj = getattr(m, name)
        if not isinstance(obj, type):
            if callable(obj):
                describe(name, obj, out)
            else:
                out.append(f"== {name} = {obj!r}")
            continue
        describe(name, obj, out)
        out.append(f"flags: {obj.__flags__:#x} module: {obj.__module__!r} qualname: {obj.__qualname__!r}")
        for attr, value in sorted(vars(obj).items()):
            if attr in ("__doc__", "__module__"):
                continue
            kind = type(value).__name__
            describe(f"{name}.{attr} [{kind}]", value, out)
    sys.stdout.write("\n".join(out) + "\n")


if __name__ == "__main__":
    main()
