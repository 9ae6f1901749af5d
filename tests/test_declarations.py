"""Every callable and attribute of the module is a typed declaration: the binding layer lists
it, with parameter names and defaults that agree with its text signature, and the checked-in
stub is exactly what tools/gen_stub.py writes from that listing."""
import ast
import importlib.util
import inspect
import shutil
from pathlib import Path

import pytest
from build_probe import import_probe

import tarnwick as tw

probe = import_probe()

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


def load_tool():
    spec = importlib.util.spec_from_file_location("gen_stub", ROOT / "tools" / "gen_stub.py")
    tool = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(tool)
    return tool


GEN_STUB = load_tool()


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


@pytest.mark.parametrize("owner, name", declared_attributes(), ids=[f"{o}.{n}" for o, n in declared_attributes()])
def test_attribute_is_listed_with_an_annotation(owner, name):
    assert (owner, name) in ATTRIBUTES, f"{owner}.{name} has no typed row"
    assert ast.parse(ATTRIBUTES[(owner, name)], mode="eval")


def test_the_stub_can_be_written_from_the_declarations_alone():
    # Raises the tool's Missing, naming it, at the first callable or attribute not declared.
    text = GEN_STUB.write(*GEN_STUB.load())
    defined = [node.name for node in ast.parse(text).body if isinstance(node, (ast.ClassDef, ast.FunctionDef))]
    assert sorted(defined) == sorted(CLASSES + FUNCTIONS)


@pytest.mark.parametrize("edit", [
    lambda text: text + "# a note by hand\n",
    lambda text: text.replace("def sma(data: NDArray[np.float64], period: int)", "def sma(data: NDArray[np.float64], period: float)"),
], ids=["a_comment", "an_annotation"])
def test_a_hand_edit_of_the_stub_fails_the_check_naming_it(tmp_path, edit):
    stub = tmp_path / "_tarnwick.pyi"
    text = STUB.read_text()
    edited = edit(text)
    assert edited != text
    stub.write_text(edited)
    # The tool's exit with a message: the interpreter prints it and exits with status 1.
    with pytest.raises(SystemExit) as failed:
        GEN_STUB.main(["--check", "--stub", str(stub)])
    assert isinstance(failed.value.code, str) and "_tarnwick.pyi" in failed.value.code


def test_the_check_passes_an_unedited_copy_of_the_stub(tmp_path):
    # The control of the hand edits above: the same copy in the same place, unedited.
    stub = tmp_path / "_tarnwick.pyi"
    shutil.copy(STUB, stub)
    try:
        GEN_STUB.main(["--check", "--stub", str(stub)])
    except SystemExit as e:
        pytest.fail(f"the check fails an unedited copy of the stub: {e.code}")
