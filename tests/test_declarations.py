"""Every callable and attribute of the module is a typed declaration: the binding layer lists
it (the stub is written from that listing) with parameter names and defaults that agree with
its text signature, and with annotations that the hand-written stub accepts."""
import ast
import importlib.util
import inspect
from pathlib import Path

import pytest

import tarnwick as tw

probe = pytest.importorskip("_tarnwick_probe")

ROOT = Path(__file__).resolve().parent.parent
STUB = ROOT / "python" / "tarnwick" / "_tarnwick.pyi"

# Every class and function the module exports, in the order of __all__ (the constants are
# values, with nothing to declare).
CLASSES = [n for n in tw.__all__ if isinstance(getattr(tw, n), type)]
FUNCTIONS = [n for n in tw.__all__ if callable(getattr(tw, n)) and n not in CLASSES]


def listing():
    listed = probe.declarations()
    callables = {display: (params, returns) for display, _, params, returns in listed["callables"]}
    attributes = {(owner, name): annotation for owner, name, annotation, _ in listed["attributes"]}
    return callables, attributes


CALLABLES, ATTRIBUTES = listing()


def hand_stub():
    """The checked-in stub's (parameters, return) of each callable and annotation of each attribute."""
    callables, attributes = {}, {}

    def signature(node):
        params = [a for a in node.args.args if a.arg not in ("self", "cls")]
        defaults = [None] * (len(params) - len(node.args.defaults)) + list(node.args.defaults)
        return [(a.arg, ast.unparse(a.annotation), d) for a, d in zip(params, defaults)], ast.unparse(node.returns)

    for node in ast.parse(STUB.read_text()).body:
        if isinstance(node, ast.FunctionDef):
            callables[node.name] = signature(node)
        if not isinstance(node, ast.ClassDef):
            continue
        for member in node.body:
            if isinstance(member, ast.AnnAssign):
                attributes[(node.name, member.target.id)] = ast.unparse(member.annotation)
            elif isinstance(member, ast.FunctionDef):
                if any(isinstance(d, ast.Name) and d.id == "property" for d in member.decorator_list):
                    attributes[(node.name, member.name)] = ast.unparse(member.returns)
                else:
                    callables[f"{node.name}.{member.name}"] = signature(member)
    return callables, attributes


STUB_CALLABLES, STUB_ATTRIBUTES = hand_stub()


def alternatives(annotation):
    """The members of a union annotation, as written."""
    node = ast.parse(annotation, mode="eval").body
    out = []
    while isinstance(node, ast.BinOp) and isinstance(node.op, ast.BitOr):
        out.append(ast.unparse(node.right))
        node = node.left
    return {ast.unparse(node), *out}


def accepted(declared, by):
    """Whether every value of the declared annotation is one the stub's annotation admits."""
    return alternatives(declared) <= alternatives(by)


def declared_callables():
    out = [(name, getattr(tw, name)) for name in FUNCTIONS]
    for cls_name in CLASSES:
        cls = getattr(tw, cls_name)
        for attr, value in vars(cls).items():
            if not attr.startswith("_") and type(value).__name__ != "getset_descriptor":
                out.append((f"{cls_name}.{attr}", getattr(cls, attr)))
        if cls.__text_signature__ is not None:
            out.append((f"{cls_name}.__new__", cls))
    return out


def declared_attributes():
    return [(cls_name, attr) for cls_name in CLASSES
            for attr, value in vars(getattr(tw, cls_name)).items() if type(value).__name__ == "getset_descriptor"]


@pytest.mark.parametrize("display, obj", declared_callables(), ids=[d for d, _ in declared_callables()])
def test_callable_is_listed_as_its_text_signature_reads(display, obj):
    assert display in CALLABLES, f"{display} is not a typed declaration"
    params, _ = CALLABLES[display]
    shown = [p for p in inspect.signature(obj).parameters.values() if p.name not in ("self", "$self")]
    assert [name for name, *_ in params] == [p.name for p in shown]
    for (name, _, has_default, default), p in zip(params, shown):
        assert has_default == (p.default is not inspect.Parameter.empty), name
        if has_default:
            assert ast.literal_eval(default) == p.default, name


@pytest.mark.parametrize("display", [d for d, _ in declared_callables()])
def test_callable_annotations_fit_the_hand_written_stub(display):
    params, returns = CALLABLES[display]
    stub_params, stub_returns = STUB_CALLABLES[display]
    assert returns == stub_returns
    for (name, annotation, _, default), (stub_name, stub_annotation, stub_default) in zip(params, stub_params):
        assert name == stub_name
        assert accepted(annotation, stub_annotation), f"{name}: {annotation} against {stub_annotation}"
        if stub_default is not None:
            assert ast.literal_eval(default) == ast.literal_eval(stub_default), name


@pytest.mark.parametrize("owner, name", declared_attributes(), ids=[f"{o}.{n}" for o, n in declared_attributes()])
def test_attribute_is_listed_with_an_annotation_the_stub_accepts(owner, name):
    assert (owner, name) in ATTRIBUTES, f"{owner}.{name} has no typed row"
    assert accepted(ATTRIBUTES[(owner, name)], STUB_ATTRIBUTES[(owner, name)])


def test_the_stub_can_be_written_from_the_declarations_alone():
    spec = importlib.util.spec_from_file_location("gen_stub", ROOT / "tools" / "gen_stub.py")
    tool = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(tool)
    # Raises the tool's Missing, naming it, at the first callable or attribute not declared.
    text = tool.write(*tool.load())
    defined = [node.name for node in ast.parse(text).body if isinstance(node, (ast.ClassDef, ast.FunctionDef))]
    assert sorted(defined) == sorted(CLASSES + FUNCTIONS)
