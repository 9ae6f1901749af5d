import numpy as np
import pytest
from build_probe import import_probe

probe = import_probe()


def instrument(direction=1, n=3, symbol="A", weight=1.0):
    close = np.arange(1.0, n + 1.0)
    return (np.arange(n, dtype=np.int64), close, close, close, close, np.ones(n),
            np.array([True] + [False] * (n - 1)), np.array([False] * (n - 1) + [True]), direction, weight, symbol)


def test_instruments_keep_bars_and_signals_in_place():
    a, b = instrument(symbol="A", weight=0.5), instrument(direction=-1, n=5, symbol="B")
    got = probe.instruments([a, b])
    assert [(s, d, w) for s, d, w, *_ in got] == [("A", 1, 0.5), ("B", -1, 1.0)]
    assert got[0][3] == [True, False, False] and got[0][4] == [False, False, True]
    # The close and entry columns are read where the caller's arrays lie; lengths are not
    # compared here.
    assert got[0][5] == a[4].ctypes.data and (got[0][6], got[1][6]) == (3, 5)
    assert got[0][7] == a[6].ctypes.data


def test_empty_list_converts_to_nothing():
    assert probe.instruments([]) == [] and probe.strategies(()) == []


@pytest.mark.parametrize("direction", [0, 5])
def test_the_first_bad_direction_is_reported(direction):
    with pytest.raises(ValueError) as e:
        probe.instruments([instrument(), instrument(direction=direction), instrument(direction=7)])
    assert str(e.value) == f"direction must be 1 (long) or -1 (short), got {direction}"
    with pytest.raises(ValueError, match=f"got {direction}$"):
        probe.strategies([(np.zeros(2, bool), np.zeros(2, bool), direction, 1.0, "s")])


@pytest.mark.parametrize("fn, arg, message", [
    ("instruments", [instrument()[:10]], "argument 'instruments': expected tuple of length 11, but got tuple of "
                                         "length 10"),
    ("instruments", "abc", "argument 'instruments': Can't extract `str` to `Vec`"),
    ("instruments", [list(instrument())], "argument 'instruments': 'list' object cannot be converted to 'PyTuple'"),
    ("strategies", [(np.zeros(2, bool),) * 2 + (1, 1.0)], "argument 'strategies': expected tuple of length 5, but "
                                                          "got tuple of length 4"),
])
def test_shape_refusals_name_the_argument(fn, arg, message):
    with pytest.raises(TypeError) as e:
        getattr(probe, fn)(arg)
    assert str(e.value) == message


def test_direction_outside_32_bits_overflows():
    with pytest.raises(OverflowError):
        probe.strategies([(np.zeros(2, bool), np.zeros(2, bool), 2**31, 1.0, "s")])


def test_strategies_convert_in_order():
    e = np.array([True, False])
    got = probe.strategies([(e, ~e, 1, 2.0, "x"), (e, e, -1, 0.0, "y")])
    assert got == [("x", 1, 2.0, [True, False], [False, True]), ("y", -1, 0.0, [True, False], [True, False])]
