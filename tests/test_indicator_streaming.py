import math
import struct

import numpy as np
import pytest

import tarnwick as tw
from tarnwick import Indicator

NAN = math.nan
MAX_FLOAT = 1.7976931348623157e308


def feed(ind, closes):
    return [ind.update_bar(0.0, c, c, c) for c in closes]


def bits(x):
    return struct.pack("<d", x)


def same_bits(a, b):
    return all(bits(x) == bits(y) for x, y in zip(a, b)) and len(a) == len(b)


def random_walk(n, seed):
    rng = np.random.default_rng(seed)
    close = 50.0 + np.cumsum(rng.normal(0.0, 0.7, n))
    high = close + rng.uniform(0.0, 1.5, n)
    low = close - rng.uniform(0.0, 1.5, n)
    return high, low, close


# ---------------------------------------------------------------------------
# Class face

FACTORIES = [
    ("sma", "(period)", None),
    ("ema", "(period)", None),
    ("wilder_ma", "(period)", "Wilder-smoothed moving average (alpha = 1/period)."),
    ("wma", "(period)", None),
    ("roc", "(period)", "Rate of change over `period` bars, in percent."),
    ("stddev", "(period)", "Rolling population standard deviation."),
    ("rsi", "(period)", None),
    ("atr", "(period)", None),
    ("donchian", "(period)", "Highest-high / lowest-low channel; value is `(upper, lower)`."),
    ("bollinger", "(period, k=2.0)", "Bollinger bands; value is `(middle, upper, lower)`."),
    ("macd", "(fast=12, slow=26, signal=9)", "MACD; value is `(macd, signal, histogram)`."),
]


def test_class_face():
    assert repr(Indicator) == "<class 'builtins.Indicator'>"
    assert Indicator.__doc__ == "Streaming indicator with batch-identical values."
    with pytest.raises(TypeError, match="^No constructor defined$"):
        Indicator()
    members = [n for n in vars(Indicator) if not n.startswith("_")]
    assert members == [n for n, _, _ in FACTORIES] + ["update_bar", "reset", "kind", "value", "initialized"]
    assert Indicator.update_bar.__text_signature__ == "($self, _open, high, low, close)"
    assert Indicator.update_bar.__doc__ == (
        "Feed one bar. Price-series cores consume the close; bar cores (atr,\n"
        "donchian) consume high/low/close. Returns the new value, if warm."
    )
    assert Indicator.reset.__text_signature__ == "($self)"
    assert Indicator.reset.__doc__ == "Forget all state."
    assert Indicator.value.__doc__ == "Latest value (`None` during warmup)."
    assert Indicator.initialized.__doc__ == "Whether the warmup period has completed."


@pytest.mark.parametrize("name, signature, doc", FACTORIES)
def test_static_constructors(name, signature, doc):
    factory = getattr(Indicator, name)
    assert factory.__text_signature__ == signature
    assert factory.__doc__ == doc
    args = () if name == "macd" else (3,)
    ind = factory(*args)
    assert type(ind) is Indicator
    assert ind.kind == name and repr(ind) == f"Indicator(kind={name})"
    assert ind.value is None and ind.initialized is False
    # also reachable from an instance, without self
    assert getattr(ind, name)(*args).kind == name


def test_kind_and_value_are_read_only():
    ind = Indicator.sma(2)
    for attr in ("kind", "value", "initialized"):
        with pytest.raises(AttributeError):
            setattr(ind, attr, 1)


def test_period_arguments():
    with pytest.raises(OverflowError):
        Indicator.sma(-1)
    with pytest.raises(OverflowError):
        Indicator.ema(2**64)
    with pytest.raises(TypeError, match="^argument 'period': "):
        Indicator.rsi(2.0)
    with pytest.raises(TypeError, match="^argument 'k': "):
        Indicator.bollinger(2, "x")
    with pytest.raises(TypeError, match=r"^Indicator\.sma\(\) missing 1 required positional argument: 'period'$"):
        Indicator.sma()
    # periods far beyond any data are created at once, storage grows only with the data
    for big in (2**60, 2**64 - 1):
        ind = Indicator.sma(big)
        assert feed(ind, [1.0, 2.0, 3.0]) == [None, None, None]
        assert Indicator.macd(big, big, big).update_bar(0, 1, 1, 1) is None


# ---------------------------------------------------------------------------
# Values worked out by hand

CASES = [
    # (factory, bars as (high, low, close), values returned)
    (lambda: Indicator.sma(3), [(c, c, c) for c in (1, 2, 3, 4, 5)], [None, None, 2.0, 3.0, 4.0]),
    (lambda: Indicator.ema(3), [(c, c, c) for c in (1, 2, 3, 4, 5)], [None, None, 2.0, 3.0, 4.0]),
    (lambda: Indicator.sma(0), [(c, c, c) for c in (1, 2, 3)], [1.0, 2.0, 3.0]),
    # weights 1, 2, 3: (1 + 4 + 9) / 6
    (lambda: Indicator.wma(3), [(c, c, c) for c in (1, 2, 3)], [None, None, 14.0 / 6.0]),
    # wilder alpha 1/2: seed (1 + 3)/2 = 2, then 2/2 + 6/2 = 4
    (lambda: Indicator.wilder_ma(2), [(c, c, c) for c in (1, 3, 6)], [None, 2.0, 4.0]),
    # base 0 gives no value; then (20 - 5) / 5 * 100
    (lambda: Indicator.roc(2), [(c, c, c) for c in (0, 5, 10, 20)], [None, None, None, 300.0]),
    (lambda: Indicator.rsi(2), [(c, c, c) for c in (1, 2, 3)], [None, None, 100.0]),
    # TR 2, then max(2, |11-9|, |9-9|) = 2: mean 2
    (lambda: Indicator.atr(2), [(10, 8, 9), (11, 9, 10)], [None, 2.0]),
    (lambda: Indicator.donchian(2), [(5, 1, 0), (7, 2, 0), (6, 3, 0)], [None, (7.0, 1.0), (7.0, 2.0)]),
    (lambda: Indicator.donchian(2), [(NAN, 1, 0), (NAN, 2, 0)], [None, (-MAX_FLOAT, 1.0)]),
    # mean 2, population deviation 1
    (lambda: Indicator.stddev(2), [(c, c, c) for c in (1, 3)], [None, 1.0]),
    (lambda: Indicator.bollinger(2), [(c, c, c) for c in (1, 3)], [None, (2.0, 4.0, 0.0)]),
    (lambda: Indicator.bollinger(2, k=-2.0), [(c, c, c) for c in (1, 3)], [None, (2.0, 0.0, 4.0)]),
    # fast 1 is the close itself, slow 2 seeds at 2: line 1, signal(1) 1
    (lambda: Indicator.macd(fast=1, slow=2, signal=1), [(c, c, c) for c in (1, 3)], [None, (1.0, 1.0, 0.0)]),
]


@pytest.mark.parametrize("make, bars, expected", CASES)
def test_values(make, bars, expected):
    ind = make()
    got = [ind.update_bar(0.0, *bar) for bar in bars]
    assert got == expected
    assert ind.value == expected[-1]
    assert ind.initialized is (expected[-1] is not None)


def test_macd_accepts_fast_above_slow():
    ind = Indicator.macd(fast=26, slow=12)
    out = feed(ind, np.linspace(1.0, 2.0, 40))
    assert out.index(next(v for v in out if v is not None)) == 26 + 9 - 2


def test_defaults():
    c = [float(x) for x in range(1, 60)]
    ours = feed(Indicator.macd(), c)
    assert ours == feed(Indicator.macd(12, 26, 9), c)
    assert feed(Indicator.bollinger(4), c) == feed(Indicator.bollinger(4, 2.0), c)


def test_nan_close_poisons_an_sma():
    out = feed(Indicator.sma(2), [1.0, 2.0, NAN, 4.0, 5.0, 6.0])
    assert out[1] == 1.5 and all(math.isnan(v) for v in out[2:])


def test_reset_starts_over():
    closes = [3.0, 1.0, 4.0, 1.0, 5.0, 9.0, 2.0, 6.0]
    for make in (lambda: Indicator.rsi(3), lambda: Indicator.macd(2, 3, 2), lambda: Indicator.donchian(3)):
        ind = make()
        first = feed(ind, closes)
        assert ind.reset() is None
        assert ind.value is None and not ind.initialized
        assert feed(ind, closes) == first == feed(make(), closes)


def test_a_failed_update_leaves_the_state_unchanged():
    ind = Indicator.ema(2)
    feed(ind, [1.0, 3.0])
    with pytest.raises(TypeError, match="^argument '_open': "):
        ind.update_bar("x", 1.0, 1.0, 1.0)
    with pytest.raises(TypeError, match="^argument 'close': "):
        ind.update_bar(0.0, 1.0, 1.0, None)
    with pytest.raises(OverflowError):
        ind.update_bar(0.0, 1.0, 1.0, 10**400)
    assert ind.value == 2.0
    # ints are numbers too; alpha 2/3: 2 * 1/3 + 5 * 2/3 = 4
    assert ind.update_bar(0, 5, 5, 5) == pytest.approx(4.0, rel=1e-15)


def test_update_holds_the_object():
    ind = Indicator.sma(1)
    seen = []

    class Price:
        def __float__(self):
            try:
                ind.value
            except RuntimeError as e:
                seen.append(str(e))
            return 1.0

    assert ind.update_bar(Price(), 1.0, 1.0, 2.0) == 2.0
    assert seen == ["Already mutably borrowed"]


# ---------------------------------------------------------------------------
# Streaming equals batch, bit for bit


def stream(ind, h, l, c):
    out = []
    for hi, lo, cl in zip(h, l, c):
        v = ind.update_bar(0.0, hi, lo, cl)
        out.append(v)
    return out


def as_series(values, pick=None):
    return [NAN if v is None else (v if pick is None else v[pick]) for v in values]


@pytest.mark.parametrize("seed", [1, 2, 3])
@pytest.mark.parametrize("period", [1, 2, 5, 14, 50])
def test_streaming_equals_batch(seed, period):
    h, l, c = random_walk(400, seed)
    assert same_bits(as_series(stream(Indicator.ema(period), h, l, c)), tw.ema(c, period))
    assert same_bits(as_series(stream(Indicator.rsi(period), h, l, c)), tw.rsi(c, period))
    assert same_bits(as_series(stream(Indicator.atr(period), h, l, c)), tw.atr(h, l, c, period))


@pytest.mark.parametrize("seed", [1, 2])
@pytest.mark.parametrize("fast, slow, signal", [(12, 26, 9), (2, 3, 1), (1, 5, 4), (5, 30, 12)])
def test_streaming_macd_equals_batch(seed, fast, slow, signal):
    h, l, c = random_walk(300, seed)
    got = stream(Indicator.macd(fast, slow, signal), h, l, c)
    batch = tw.macd(c, fast, slow, signal)
    first = slow + signal - 2
    assert all(v is None for v in got[:first])
    for pick in range(3):
        assert same_bits(as_series(got, pick)[first:], batch[pick][first:])


def test_streaming_atr_on_exactly_period_bars():
    h, l, c = random_walk(5, 4)
    got = stream(Indicator.atr(5), h, l, c)
    assert got[-1] is not None and np.isnan(tw.atr(h, l, c, 5)).all()


def test_donchian_follows_the_rolling_extremes():
    h, l, c = random_walk(200, 5)
    got = stream(Indicator.donchian(7), h, l, c)
    np.testing.assert_array_equal(as_series(got, 0), tw.rolling_max(h, 7))
    np.testing.assert_array_equal(as_series(got, 1), tw.rolling_min(l, 7))
