import numpy as np
import pytest
from array_inputs import DAY, inst
from build_probe import import_probe

import tarnwick as tw

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


# A conversion runs Python code (a weight's __float__, a direction's __index__, a
# sequence's __getitem__) that may resize an array of a tuple converted before it: every
# array is read as it stands once the call's last conversion is done.

N = 4096


class Hook:
    """A number, or a sequence as item `at` is asked for, whose first use runs `act`."""

    def __init__(self, value, act, at=None):
        self.value, self.act, self.at = value, act, at

    def _run(self):
        act, self.act = self.act, None
        if act is not None:
            act()
        return self.value

    def __float__(self):
        return float(self._run())

    def __index__(self):
        return int(self._run())

    def __len__(self):
        return len(self.value)

    def __getitem__(self, i):
        return (self._run() if i == self.at else self.value)[i]


def walk(seed, symbol):
    rng = np.random.default_rng(seed)
    close = 100.0 * np.cumprod(1.0 + rng.normal(0.0, 0.01, N))
    return inst(close, np.flatnonzero(rng.random(N) < 0.05), np.flatnonzero(rng.random(N) < 0.05), symbol=symbol)


def grow_close(tuples):
    tuples[0][4].resize(N * 64, refcheck=False)


def grow_every_array(tuples):
    # Every array of every tuple, in place, to 64 times its length: the values repeated,
    # the timestamps a day apart throughout.
    for t in tuples:
        for k, a in enumerate(t[:8]):
            first = a.copy()
            a.resize(N * 64, refcheck=False)
            a[:] = np.arange(N * 64) * DAY if k == 0 else np.tile(first, 64)


def make_2d(tuples):
    tuples[0][4].resize((64, 64), refcheck=False)


def hooked(where, mutate):
    """Two instruments and the list given for them, whose hook (in the second tuple's weight
    or direction, or in the list's second item) mutates the arrays of both."""
    tuples = [walk(1, "A"), walk(2, "B")]

    def act():
        mutate(tuples)

    if where == "sequence":
        return tuples, Hook(list(tuples), act, at=1)
    k = {"direction": 8, "weight": 9}[where]
    second = list(tuples[1])
    second[k] = Hook(second[k], act)
    return tuples, [tuples[0], tuple(second)]


def outcome(run, instruments):
    try:
        r = run(instruments, tw.BacktestConfig(initial_capital=100_000.0, fees=0.0))
    except ValueError as e:
        return "refused", str(e)
    res = r if run is tw.run_basket_backtest else r.result
    return res.equity_curve().tolist(), [(t.symbol, t.entry_idx, t.exit_idx, t.size, t.pnl) for t in res.trades()]


RUNNERS = [tw.run_basket_backtest, tw.run_portfolio_backtest]
WHERE = ["weight", "direction", "sequence"]


@pytest.mark.parametrize("run", RUNNERS, ids=lambda f: f.__name__)
@pytest.mark.parametrize("where", WHERE)
@pytest.mark.parametrize("mutate", [grow_close, grow_every_array])
def test_runners_read_the_arrays_as_the_last_conversion_leaves_them(run, where, mutate):
    tuples, given = hooked(where, mutate)
    got = outcome(run, given)
    # The same call once more on the mutated arrays, with nothing left to run.
    assert got == outcome(run, tuples)
    if mutate is grow_every_array:
        assert len(got[0]) == N * 64
    else:
        assert got[0] == "refused"


@pytest.mark.parametrize("where", WHERE)
def test_instrument_views_are_taken_after_every_conversion(where):
    tuples, given = hooked(where, grow_every_array)
    got = probe.instruments(given)
    for row, t in zip(got, tuples):
        assert row[5] == t[4].ctypes.data and row[6] == N * 64 and row[7] == t[6].ctypes.data
        assert row[3] == np.tile(t[6][:N], 64).tolist()


@pytest.mark.parametrize("call", [probe.instruments, tw.run_basket_backtest, tw.run_portfolio_backtest],
                         ids=lambda f: f.__name__)
@pytest.mark.parametrize("where", WHERE)
def test_an_array_made_two_dimensional_by_a_later_conversion_is_refused(call, where):
    _, given = hooked(where, make_2d)
    with pytest.raises(TypeError) as e:
        call(given)
    assert str(e.value) == "argument 'instruments': dimensionality mismatch:\n from=2, to=1"
