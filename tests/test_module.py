import importlib
import os
import subprocess
import sys
import textwrap

import pytest

import tarnwick
from tarnwick import _tarnwick

CONSTANTS = [
    ("SESSION_NSE", float, 375.0),
    ("SESSION_MCX", float, 870.0),
    ("SESSION_CDS", float, 480.0),
    ("SESSION_CONTINUOUS", float, 0.0),
    ("IST_OFFSET_NS", int, 19_800_000_000_000),
]


def test_docstring():
    assert _tarnwick.__doc__ == "Python module entry point"


def test_all_is_the_registration_rows_in_the_order_of_their_families():
    # After the constants, __all__ holds what each bindings file's registration rows add,
    # family by family in the order the binding layer lists its families (registration.h):
    # a new function is a row in its file, and nothing here is kept by hand.
    from build_probe import import_probe

    families = import_probe().registration_rows()
    assert all(families), "every family adds something"
    assert _tarnwick.__all__[5:] == [name for family in families for name in family]


def test_functions_report_the_module_name():
    for name in _tarnwick.__all__:
        obj = getattr(_tarnwick, name)
        if callable(obj) and not isinstance(obj, type):
            assert obj.__module__ == _tarnwick.__name__, name
            assert obj.__text_signature__ is not None, name


def test_all_starts_with_constants_in_order_and_names_attributes():
    assert _tarnwick.__all__[:5] == [name for name, _, _ in CONSTANTS]
    assert len(set(_tarnwick.__all__)) == len(_tarnwick.__all__)
    for name in _tarnwick.__all__:
        assert hasattr(_tarnwick, name), name
    assert tarnwick.__all__ == _tarnwick.__all__


@pytest.mark.parametrize("name, kind, value", CONSTANTS)
def test_constants(name, kind, value):
    got = getattr(_tarnwick, name)
    assert type(got) is kind
    assert got == value


def test_ist_offset_is_five_and_a_half_hours():
    assert _tarnwick.IST_OFFSET_NS == (5 * 3600 + 30 * 60) * 10**9


def test_classes_report_builtins_as_module():
    assert _tarnwick.BacktestConfig.__module__ == "builtins"


def test_reimport_returns_the_same_module_object():
    first = sys.modules.pop("tarnwick._tarnwick")
    try:
        again = importlib.import_module("tarnwick._tarnwick")
        assert again is first
        assert again.BacktestConfig is first.BacktestConfig
    finally:
        sys.modules["tarnwick._tarnwick"] = first


def test_sub_interpreter_import_fails_with_import_error(tmp_path):
    testcapi = pytest.importorskip("_testcapi")
    out = tmp_path / "result.txt"
    code = textwrap.dedent(
        f"""
        import sys
        sys.path[:0] = {sys.path!r}
        try:
            import tarnwick._tarnwick
            result = "imported"
        except ImportError as e:
            result = "ImportError"
        except BaseException as e:
            result = type(e).__name__
        with open({str(out)!r}, "w") as f:
            f.write(result)
        """
    )
    # Run in a fresh interpreter process so that a failure cannot disturb this one.
    script = f"import _testcapi, tarnwick._tarnwick\n_testcapi.run_in_subinterp({code!r})\n"
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    subprocess.run([sys.executable, "-c", script], check=True, env=env, timeout=120)
    assert out.read_text() == "ImportError"
