"""The sessions' declarations say what the stub says: every method and constructor is listed
with the stub's parameter names, annotations, defaults and return annotation, every
attribute with its annotation, and the module itself binds the parameters the stub names,
with the same defaults, in the same order, and each argument that cannot convert is
reported under its own name."""
import ast
import inspect
from pathlib import Path

import numpy as np
import pytest
from build_probe import import_probe

import tarnwick as tw

probe = import_probe()

STUB = Path(__file__).resolve().parent.parent / "python" / "tarnwick" / "_tarnwick.pyi"
CLASSES = ("KernelSession", "PortfolioSession", "EngineEvent", "PositionSnapshot")


def expression(text):
    """One spelling of a Python expression, whichever quotes or spacing it was written with."""
    return ast.unparse(ast.parse(text, mode="eval").body)


def stub_classes():
    tree = ast.parse(STUB.read_text())
    return {node.name: node for node in tree.body if isinstance(node, ast.ClassDef) and node.name in CLASSES}


def stub_callables():
    """(display, [(name, annotation, default or None)], returns) of every declared callable."""
    out = []
    for cls, node in stub_classes().items():
        for f in node.body:
            if not isinstance(f, ast.FunctionDef) or f.decorator_list:
                continue
            if f.name.startswith("__") and f.name != "__new__":
                continue  # slots such as __len__ are not declared callables
            args = f.args.args[1:]  # self or cls
            defaults = [None] * (len(args) - len(f.args.defaults)) + [ast.unparse(d) for d in f.args.defaults]
            params = [(a.arg, ast.unparse(a.annotation), d) for a, d in zip(args, defaults)]
            out.append((f"{cls}.{f.name}", params, ast.unparse(f.returns)))
    return out


def stub_attributes():
    """(owner, name, annotation, writable) of every attribute."""
    out = []
    for cls, node in stub_classes().items():
        for f in node.body:
            if isinstance(f, ast.FunctionDef) and any(ast.unparse(d) == "property" for d in f.decorator_list):
                out.append((cls, f.name, ast.unparse(f.returns), False))
            elif isinstance(f, ast.AnnAssign):
                out.append((cls, f.target.id, ast.unparse(f.annotation), True))
    return out


def listed():
    d = probe.declarations()
    callables = {display: (params, returns) for display, _, params, returns in d["callables"]}
    attributes = {(owner, name): (annotation, writable) for owner, name, annotation, writable in d["attributes"]}
    return callables, attributes


CALLABLES = stub_callables()
ATTRIBUTES = stub_attributes()


def test_the_stub_holds_every_session_class():
    assert set(stub_classes()) == set(CLASSES)
    assert {c[0] for c in CALLABLES} >= {"KernelSession.__new__", "PortfolioSession.__new__"}


@pytest.mark.parametrize("display, params, returns", CALLABLES, ids=[c[0] for c in CALLABLES])
def test_callable_is_listed_as_the_stub_declares_it(display, params, returns):
    callables, _ = listed()
    assert display in callables
    got_params, got_returns = callables[display]
    got = [(name, expression(annotation), expression(default) if has_default else None)
           for name, annotation, has_default, default in got_params]
    assert got == [(name, expression(annotation), default) for name, annotation, default in params]
    assert expression(got_returns) == expression(returns)


@pytest.mark.parametrize("owner, name, annotation, writable", ATTRIBUTES, ids=[f"{a[0]}.{a[1]}" for a in ATTRIBUTES])
def test_attribute_is_listed_as_the_stub_declares_it(owner, name, annotation, writable):
    _, attributes = listed()
    assert (owner, name) in attributes
    got_annotation, got_writable = attributes[(owner, name)]
    assert (expression(got_annotation), got_writable) == (expression(annotation), writable)


@pytest.mark.parametrize("display, params, returns", CALLABLES, ids=[c[0] for c in CALLABLES])
def test_module_binds_the_parameters_the_stub_names(display, params, returns):
    cls, _, name = display.partition(".")
    obj = getattr(tw, cls) if name == "__new__" else getattr(getattr(tw, cls), name)
    got = [(p.name, None if p.default is inspect.Parameter.empty else repr(p.default))
           for p in inspect.signature(obj).parameters.values() if p.name not in ("self", "cls")]
    assert got == [(n, None if d is None else repr(ast.literal_eval(d))) for n, _, d in params]


# A value of the wrong type for each annotation, and a value of the right one.
WRONG = {"str": 1.5, "list[int]": 1.5, "list[tuple[float, float]]": 1.5}
RIGHT = {"int": 0, "float": 1.0, "str": "buy", "bool": False, "list[int]": [], "list[tuple[float, float]]": [],
         "NDArray[np.int64]": np.zeros(1, dtype=np.int64), "NDArray[np.float64]": np.zeros(1)}
MATRICES = {"bid_prices", "bid_sizes", "ask_prices", "ask_sizes"}  # set_depth's (snapshots, levels)


def right_value(name, annotation, default):
    if default is not None:
        return ast.literal_eval(default)
    if name in MATRICES:
        return np.zeros((1, 1))
    return RIGHT[annotation.removesuffix(" | None")]


def receiver(display):
    cls, _, name = display.partition(".")
    return getattr(tw, cls) if name == "__new__" else getattr(getattr(tw, cls)(), name)


BINDINGS = [(display, params, k) for display, params, _ in CALLABLES for k in range(len(params))]


@pytest.mark.parametrize("display, params, wrong", BINDINGS, ids=[f"{d}.{p[k][0]}" for d, p, k in BINDINGS])
def test_a_wrong_type_is_reported_for_its_own_parameter(display, params, wrong):
    # Every argument up to the wrong one and every required one is given by position, so
    # each lands by its place.
    required = sum(1 for _, _, default in params if default is None)
    args = [right_value(*p) for p in params[:max(wrong + 1, required)]]
    name, annotation, _ = params[wrong]
    args[wrong] = WRONG.get(annotation.removesuffix(" | None"), "x")
    with pytest.raises(TypeError, match=f"^argument '{name}': "):
        receiver(display)(*args)
