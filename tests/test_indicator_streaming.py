import re

import numpy as np
import pytest

import tarnwick as tw
from tarnwick import Indicator


def feed(ind, closes):
    return [ind.update_bar(0.0, c, c, c) for c in closes]


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
    assert Indicator.__doc__.startswith("Streaming indicator with batch-identical values.\n\n")
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
    with pytest.raises(TypeError, match=r"^Indicator\.sma\(\) missing 1 required positional argument: 'period'$"):
        Indicator.sma()
    # the whole unsigned 64-bit range converts; the engine tests cover what such periods cost
    big = 2**64 - 1
    assert feed(Indicator.sma(big), [1.0, 2.0]) == [None, None]
    assert Indicator.macd(big, big, big).update_bar(0, 1, 1, 1) is None


# ---------------------------------------------------------------------------
# Values worked out by hand

CASES = [
    # (factory, bars as (high, low, close), values returned): one value of each shape; the
    # other values are the engine tests'
    (lambda: Indicator.sma(3), [(c, c, c) for c in (1, 2, 3, 4, 5)], [None, None, 2.0, 3.0, 4.0]),
    (lambda: Indicator.donchian(2), [(5, 1, 0), (7, 2, 0), (6, 3, 0)], [None, (7.0, 1.0), (7.0, 2.0)]),
    (lambda: Indicator.bollinger(2), [(c, c, c) for c in (1, 3)], [None, (2.0, 4.0, 0.0)]),
]


@pytest.mark.parametrize("make, bars, expected", CASES)
def test_values(make, bars, expected):
    ind = make()
    got = [ind.update_bar(0.0, *bar) for bar in bars]
    assert got == expected
    assert ind.value == expected[-1]
    assert ind.initialized is (expected[-1] is not None)


def test_defaults():
    c = [float(x) for x in range(1, 60)]
    assert feed(Indicator.macd(), c) == feed(Indicator.macd(12, 26, 9), c)
    assert feed(Indicator.bollinger(4), c) == feed(Indicator.bollinger(4, 2.0), c)


def test_reset_starts_over():
    # the replay of every kind is the engine tests'; here the tuple values and the face
    closes = [3.0, 1.0, 4.0, 1.0, 5.0, 9.0, 2.0, 6.0]
    ind = Indicator.macd(2, 3, 2)
    first = feed(ind, closes)
    assert ind.reset() is None
    assert ind.value is None and not ind.initialized
    assert feed(ind, closes) == first


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
# Against the batch functions: the class docstring names exactly the kinds whose values
# differ from their batch twin (in the last bits only) on a long random series.

# kind, factory, the batch twin's values as the stream reports them (None while warming up)
def _twins(o, h, l, c):
    def rows(*cols):
        return [None if any(np.isnan(x[i]) for x in cols) else
                (float(cols[0][i]) if len(cols) == 1 else tuple(float(x[i]) for x in cols)) for i in range(len(c))]
    upper, middle, lower = tw.bollinger_bands(c, 20, 2.0)
    return [
        ("sma", Indicator.sma(20), rows(tw.sma(c, 20))),
        ("ema", Indicator.ema(20), rows(tw.ema(c, 20))),
        ("rsi", Indicator.rsi(14), rows(tw.rsi(c, 14))),
        ("atr", Indicator.atr(14), rows(tw.atr(h, l, c, 14))),
        ("bollinger", Indicator.bollinger(20, 2.0), rows(middle, upper, lower)),
        ("macd", Indicator.macd(12, 26, 9), rows(*tw.macd(c, 12, 26, 9))),
    ]


def test_the_docstring_names_the_kinds_that_differ_from_the_batch_in_the_last_bits():
    rng = np.random.default_rng(5)
    c = 100.0 * np.exp(np.cumsum(rng.normal(0.0, 0.01, 2000)))
    o, h, l = np.r_[c[0], c[:-1]], c * 1.01, c * 0.99
    differ = set()
    for kind, ind, batch in _twins(o, h, l, c):
        stream = [ind.update_bar(*bar) for bar in zip(o, h, l, c)]
        warm = [(s, b) for s, b in zip(stream, batch) if s is not None and b is not None]
        assert len(warm) > 1900, kind
        for s, b in warm:
            assert np.allclose(s, b, rtol=1e-12, atol=0.0), kind
        if any(s != b for s, b in warm):
            differ.add(kind)
    note = Indicator.__doc__.split("\n\n")[1]
    assert set(re.findall(r"`(\w+)`", note)) == differ


# ---------------------------------------------------------------------------
# A missing bar (high, low and close NaN) at bar GAP, period P

GAP, BARS, P = 30, 60, 5
_rng = np.random.default_rng(8)
_CLOSE = 100.0 + np.cumsum(_rng.normal(0.0, 1.0, BARS))
_HIGH, _LOW = _CLOSE + _rng.uniform(0.1, 1.0, BARS), _CLOSE - _rng.uniform(0.1, 1.0, BARS)

_TO_THE_END = list(range(GAP, BARS))
# kind, factory, the bars whose value the gap makes NaN (worked out from each kind's window)
GAP_CASES = [
    ("sma", lambda: Indicator.sma(P), _TO_THE_END),
    ("ema", lambda: Indicator.ema(P), _TO_THE_END),
    ("wilder_ma", lambda: Indicator.wilder_ma(P), _TO_THE_END),
    ("stddev", lambda: Indicator.stddev(P), _TO_THE_END),
    ("rsi", lambda: Indicator.rsi(P), _TO_THE_END),
    ("atr", lambda: Indicator.atr(P), _TO_THE_END),
    ("bollinger", lambda: Indicator.bollinger(P), _TO_THE_END),
    ("macd", lambda: Indicator.macd(3, 6, 4), _TO_THE_END),
    ("wma", lambda: Indicator.wma(P), list(range(GAP, GAP + P))),  # while the gap is in the window
    ("roc", lambda: Indicator.roc(P), [GAP, GAP + P]),  # the gap's own bar, and P bars later as the base
    ("donchian", lambda: Indicator.donchian(P), []),  # passed over
]


def _has_nan(value):
    return value is not None and bool(np.isnan(value).any())


def _stream(ind, gap):
    h, lo, c = (x.copy() for x in (_HIGH, _LOW, _CLOSE))
    if gap:
        h[GAP] = lo[GAP] = c[GAP] = np.nan
    return [ind.update_bar(0.0, *bar) for bar in zip(h, lo, c)]


@pytest.mark.parametrize("kind, make, nan_bars", GAP_CASES, ids=[c[0] for c in GAP_CASES])
def test_a_missing_bar(kind, make, nan_bars):
    clean, ind = _stream(make(), False), make()
    gappy = _stream(ind, True)
    assert gappy[:GAP] == clean[:GAP]
    assert [i for i, v in enumerate(gappy) if _has_nan(v)] == nan_bars
    # reset forgets the gap: the series then starts over as on a new indicator.
    ind.reset()
    assert _stream(ind, False) == clean


def test_the_docstring_names_the_kinds_a_gap_keeps_nan():
    assert sorted(c[0] for c in GAP_CASES) == sorted(n for n, _, _ in FACTORIES)
    kept = {kind for kind, _, bars in GAP_CASES if bars == _TO_THE_END}
    note = " ".join(Indicator.__doc__.split("\n\n")[2].split())
    listed = re.search(r"until `reset`: (.*?)\. ", note).group(1)
    assert set(re.findall(r"`(\w+)`", listed)) == kept
