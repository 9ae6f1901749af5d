import os
import subprocess
import sys

import numpy as np
import pytest
from build_probe import import_probe

import tarnwick as tw

probe = import_probe()


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "bind() missing 3 required positional arguments: 'a', 'b', and 'c'"),
        ((1,), {}, "bind() missing 2 required positional arguments: 'b' and 'c'"),
        ((1, 2), {}, "bind() missing 1 required positional argument: 'c'"),
        ((1, 2, 3, 4, 5), {}, "bind() takes from 3 to 4 positional arguments but 5 were given"),
        ((1,), {"zz": 2}, "bind() got an unexpected keyword argument 'zz'"),
        ((1,), {"a": 2}, "bind() got multiple values for argument 'a'"),
    ],
)
def test_binding_messages(args, kwargs, message):
    with pytest.raises(TypeError) as e:
        probe.bind(*args, **kwargs)
    assert str(e.value) == message


def test_fixed_arity_message_and_keywords_fill_slots():
    with pytest.raises(TypeError) as e:
        probe.f64(1, 2)
    assert str(e.value) == "f64() takes 1 positional arguments but 2 were given"
    assert probe.bind(1, c=3, b=2) == (1, 2, 3, None)


@pytest.mark.parametrize(
    "kwargs, exc, message",
    [
        ({"i32": 2**31}, OverflowError, "out of range integral type conversion attempted"),
        ({"i32": -(2**31) - 1}, OverflowError, "out of range integral type conversion attempted"),
        ({"u32": -1}, OverflowError, "out of range integral type conversion attempted"),
        ({"u32": 2**32}, OverflowError, "out of range integral type conversion attempted"),
        ({"i32": 1.0}, TypeError, "argument 'i32': 'float' object cannot be interpreted as an integer"),
        ({"f64": "1.0"}, TypeError, "argument 'f64': must be real number, not str"),
        ({"values": "abc"}, TypeError, "argument 'values': Can't extract `str` to `Vec`"),
        ({"values": 5}, TypeError, "argument 'values': 'int' object cannot be converted to 'Sequence'"),
        ({"values": [1.0, "x"]}, TypeError, "argument 'values': must be real number, not str"),
        ({"text": b"x"}, TypeError, "argument 'text': 'bytes' object cannot be converted to 'PyString'"),
    ],
)
def test_conversion_refusals(kwargs, exc, message):
    with pytest.raises(exc) as e:
        probe.convert(**kwargs)
    assert type(e.value) is exc
    assert str(e.value) == message


def test_conversion_limits_are_inclusive():
    got = probe.convert(i32=-(2**31), u32=2**32 - 1, i64=-(2**63), u64=2**64 - 1, f64=True,
                        values=(1, 2.5), text="é")
    assert got == (-(2**31), 2**32 - 1, -(2**63), 2**64 - 1, 1.0, [1.0, 2.5], "é")


class _RaisesTypeErrorWithCause:
    def __float__(self):
        try:
            raise KeyError("inner")
        except KeyError as inner:
            raise TypeError("outer") from inner


def test_prefixed_type_error_keeps_its_cause():
    with pytest.raises(TypeError) as e:
        probe.convert(f64=_RaisesTypeErrorWithCause())
    assert str(e.value) == "argument 'f64': outer"
    assert isinstance(e.value.__cause__, KeyError)


class _RaisesValueError:
    def __float__(self):
        raise ValueError("not prefixed")


def test_other_conversion_errors_pass_unchanged():
    with pytest.raises(ValueError) as e:
        probe.convert(f64=_RaisesValueError())
    assert str(e.value) == "not prefixed"


class _ReshapesFirst:
    """A period whose conversion first runs `act`, as the argument before it is viewed."""

    def __init__(self, act):
        self.act = act

    def __index__(self):
        self.act()
        return 2


@pytest.mark.parametrize("reshape, message", [
    ((2, 2), "argument 'data': dimensionality mismatch:\n from=2, to=1"),
    # Resized, not reshaped: viewed at its new length.
    ((6,), None),
], ids=["made_2d", "grown"])
def test_an_array_is_viewed_as_the_last_conversion_leaves_it(reshape, message):
    data = np.array([1.0, 2.0, 3.0, 4.0])
    period = _ReshapesFirst(lambda: data.resize(reshape, refcheck=False))
    if message is None:
        # The two new items are zeros: means of 1.5, 2.5, 3.5, 2.0 and 0.0.
        assert tw.sma(data, period).tolist()[1:] == [1.5, 2.5, 3.5, 2.0, 0.0]
        return
    with pytest.raises(TypeError) as e:
        tw.sma(data, period)
    assert str(e.value) == message


@pytest.mark.parametrize(
    "kind, message",
    [(0, "Index 7 out of bounds for length 5"),
     (1, "cross-section too small: 3 < min_names 5"),
     (2, "aggregation step must be >= 1")],
)
def test_engine_errors_become_value_error(kind, message):
    with pytest.raises(ValueError) as e:
        probe.core_error(kind)
    assert type(e.value) is ValueError and str(e.value) == message


@pytest.mark.parametrize("trip", ["fault", "std_exception"])
def test_internal_fault_is_panic_exception_not_exception(trip):
    with pytest.raises(BaseException) as e:
        try:
            getattr(probe, trip)()
        except Exception:  # must not catch it
            pytest.fail("PanicException was caught by `except Exception`")
    t = type(e.value)
    assert t.__name__ == "PanicException"
    assert t.__mro__[1] is BaseException
    assert "probe:" in str(e.value)
    import tarnwick

    assert not hasattr(tarnwick._tarnwick, "PanicException")
    assert "PanicException" not in tarnwick._tarnwick.__all__
    assert t.__module__ != "tarnwick._tarnwick"


def test_panic_report_goes_to_stderr():
    script = (
        "import _tarnwick_probe as p\n"
        "try:\n    p.fault()\nexcept BaseException as e:\n    print(type(e).__name__)\n"
    )
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    r = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, env=env, timeout=60)
    assert r.stdout.strip() == "PanicException"
    lines = r.stderr.splitlines()
    assert lines[0] == ""
    assert lines[1].startswith("thread 'main' (") and "panicked at " in lines[1]
    assert "probe_module.cpp:" in lines[1]
    assert lines[2] == "probe: invariant broken"
    assert "gdb" in lines[3]


def test_allocation_failure_is_memory_error():
    with pytest.raises(MemoryError):
        probe.bad_alloc()
