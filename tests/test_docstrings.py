"""Documentation names only what exists in this module: every name a docstring quotes in
backticks is a module member, a member of the documented class, a parameter of the
documented callable or a Python builtin."""
import builtins
import inspect
import re

import pytest

import tarnwick as tw

# What a docstring quotes as a name: a class-like word (`BacktestResult`), a dotted path
# from one (`KernelSession.step`), or a call (`current_event()`). Lower-case words in
# backticks are values as often as names (`entered`, `t`), so they are left alone.
CLASS_LIKE = re.compile(r"^[A-Z][A-Za-z0-9]*[a-z][A-Za-z0-9]*(\.[A-Za-z_][A-Za-z0-9_]*)*(\(\))?$")
VALUES = {"NaN"}
CALL = re.compile(r"^[A-Za-z_][A-Za-z0-9_]*(\.[A-Za-z_][A-Za-z0-9_]*)*\(\)$")


def parameters(obj):
    try:
        return set(inspect.signature(obj).parameters)
    except (TypeError, ValueError):
        return set()


def documented():
    """(label, docstring, names it may use besides the module's own) for every docstring."""
    out = []
    for name in tw.__all__:
        obj = getattr(tw, name)
        if not isinstance(obj, type):
            out.append((name, obj.__doc__, parameters(obj)))
            continue
        members = {m for m in vars(obj) if not m.startswith("_")}
        out.append((name, obj.__doc__, members | parameters(obj)))
        for member in sorted(members):
            attribute = vars(obj)[member]
            out.append((f"{name}.{member}", attribute.__doc__, members | parameters(getattr(obj, member))))
    return [row for row in out if row[1]]


DOCS = documented()


def resolves(token, own):
    token = token.removesuffix("()")
    head, _, rest = token.partition(".")
    if not rest:
        return token in own or hasattr(tw, token) or hasattr(builtins, token)
    obj = getattr(tw, head, None)
    for part in rest.split("."):
        if obj is None or not hasattr(obj, part):
            return False
        obj = getattr(obj, part)
    return True


@pytest.mark.parametrize("label, doc, own", DOCS, ids=[row[0] for row in DOCS])
def test_quoted_names_exist(label, doc, own):
    quoted = [t for t in re.findall(r"`([^`]+)`", doc) if (CLASS_LIKE.match(t) or CALL.match(t)) and t not in VALUES]
    assert [t for t in quoted if not resolves(t, own)] == []


@pytest.mark.parametrize("label, doc, own", DOCS, ids=[row[0] for row in DOCS])
def test_no_names_of_the_implementation(label, doc, own):
    # Wrapper type names, C++ paths and cross-reference link syntax are not this module's.
    assert re.findall(r"\bPy[A-Z]\w*|::|\[`|\bVec\b", doc) == []
