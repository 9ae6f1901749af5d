import math
import re

import numpy as np
import pytest
from array_inputs import DAY, flags

import tarnwick as tw

CLOSE = [100.0, 100.0, 110.0, 120.0, 115.0]
OPEN = [100.0, 95.0, 100.0, 118.0, 112.0]


def bars(close=CLOSE, open_=OPEN):
    n = len(close)
    close = np.array(close, dtype=np.float64)
    open_ = np.array(open_, dtype=np.float64)
    return (np.arange(n, dtype=np.int64) * DAY, open_, np.maximum(open_, close), np.minimum(open_, close), close,
            np.full(n, 1000.0))


def run(entries, exits, close=CLOSE, open_=OPEN, **kw):
    return tw.run_single_backtest(*bars(close, open_), entries, exits, **kw)


def trade_rows(result):
    return [(t.entry_idx, t.exit_idx, t.exit_reason) for t in result.trades()]


def same_result(a, b):
    for curve in ("equity_curve", "returns", "drawdown_curve"):
        assert np.array_equal(getattr(a, curve)(), getattr(b, curve)(), equal_nan=True), curve
    ta, tb = a.trades(), b.trades()
    assert len(ta) == len(tb)
    for x, y in zip(ta, tb):
        for f in ("entry_idx", "exit_idx", "entry_price", "exit_price", "size", "pnl", "fees", "symbol",
                  "direction", "exit_reason"):
            assert getattr(x, f) == getattr(y, f), f
    assert a.metrics.to_dict() == b.metrics.to_dict()


def test_same_bar_close_round_trip():
    r = run(flags(5, 1), flags(5, 3), config=tw.BacktestConfig(fees=0.001, initial_capital=100_000.0))
    # All capital at close[1] = 100 with the fee on top: size = 100000 / (100 * 1.001).
    size = 100_000.0 / (100.0 * 1.001)
    entry_fee = size * 100.0 * 0.001
    exit_fee = size * 120.0 * 0.001
    (t,) = r.trades()
    assert t.size == pytest.approx(999.0009990009991, rel=1e-15) == pytest.approx(size, rel=1e-14)
    assert t.fees == pytest.approx(entry_fee + exit_fee, rel=1e-12)
    assert t.fees == pytest.approx(219.7802197802198, rel=1e-15)
    assert t.pnl == pytest.approx(size * (120.0 - 100.0) - entry_fee - exit_fee, rel=1e-12)
    assert t.pnl == pytest.approx(19760.23976023976, rel=1e-15)
    assert (t.entry_price, t.exit_price, t.exit_reason, t.symbol) == (100.0, 120.0, "Signal", "UNKNOWN")
    # Equity: cash after the entry plus the position marked at each close.
    cash = 100_000.0 - size * 100.0 - entry_fee
    expected = [100_000.0, cash + size * 100.0, cash + size * 110.0, cash + size * 120.0 - exit_fee]
    expected.append(expected[-1])
    assert r.equity_curve() == pytest.approx(expected, rel=1e-12)
    assert r.equity_curve().tolist() == pytest.approx(
        [100000, 99900.0999000999, 109890.1098901099, 119760.23976023977, 119760.23976023977], rel=1e-15)


@pytest.mark.parametrize("config", [
    tw.BacktestConfig(upon_bar_close=False),
    tw.BacktestConfig(fill_timing="next_bar_open"),
    tw.BacktestConfig(upon_bar_close=True, fill_timing="next_bar_open"),
])
def test_next_bar_open_fills_at_the_following_open(config):
    (t,) = run(flags(5, 1), flags(5, 3), config=config).trades()
    size = 100_000.0 / (100.0 * 1.001)  # open[2] = 100
    assert (t.entry_idx, t.exit_idx, t.entry_price, t.exit_price) == (2, 4, 100.0, 112.0)
    assert t.pnl == pytest.approx(size * 12.0 - size * 100.0 * 0.001 - size * 112.0 * 0.001, rel=1e-12)
    assert t.pnl == pytest.approx(11776.223776223778, rel=1e-15)


def test_explicit_same_bar_close_wins_over_the_flag():
    (t,) = run(flags(5, 1), flags(5, 3),
               config=tw.BacktestConfig(upon_bar_close=False, fill_timing="same_bar_close")).trades()
    assert (t.entry_idx, t.exit_idx, t.entry_price, t.exit_price) == (1, 3, 100.0, 120.0)


# Raw entries/exits against the effective round trips (entry bar, exit bar, reason); the
# alternation table itself is the signal processor's tests'.
@pytest.mark.parametrize("entries, exits, rows", [
    ([1, 0, 1, 0], [0, 1, 1, 0], [(0, 1, "Signal"), (2, 3, "EndOfData")]),
    ([1, 0, 0, 0], [1, 0, 0, 0], [(0, 3, "EndOfData")]),           # exit on the entry bar is ignored
])
def test_signal_processing(entries, exits, rows):
    r = run(np.array(entries, bool), np.array(exits, bool), close=[10.0, 11.0, 12.0, 13.0], open_=[10.0] * 4)
    assert trade_rows(r) == rows


def test_short_direction():
    (t,) = run(flags(5, 1), flags(5, 3), direction=-1).trades()
    assert t.direction == -1
    # A short gains as the price falls: 100 -> 120 loses 20 a unit before fees.
    assert t.pnl == pytest.approx(t.size * (100.0 - 120.0) - t.fees, rel=1e-12)


def test_direction_must_be_one_or_minus_one():
    with pytest.raises(ValueError, match=r"^direction must be 1 \(long\) or -1 \(short\), got 2$"):
        run(flags(5, 1), flags(5, 3), direction=2)


def test_none_config_equals_default_config():
    same_result(run(flags(5, 1), flags(5, 3), config=None), run(flags(5, 1), flags(5, 3), config=tw.BacktestConfig()))


@pytest.mark.parametrize("weight", [0.0, 5.0])
def test_weight_has_no_effect(weight):
    same_result(run(flags(5, 1), flags(5, 3), weight=weight), run(flags(5, 1), flags(5, 3)))


def test_symbol_reaches_every_trade():
    r = run(flags(5, 0, 2), flags(5, 1, 3), symbol="INFY")
    assert [t.symbol for t in r.trades()] == ["INFY", "INFY"]


def test_position_sizes_scale_the_entry():
    sizes = np.array([1.0, 0.25, 1.0, 1.0, 1.0])
    (t,) = run(flags(5, 1), flags(5, 3), position_sizes=sizes).trades()
    assert t.size == pytest.approx(25_000.0 / (100.0 * 1.001), rel=1e-12)


# The fraction every bar carries, and the units the entry on bar 1 (close 100, default
# 0.1 % fee, 100,000 of cash) buys with it; None: the entry opens nothing.
SIZE_CASES = [
    (1.0, 100_000.0 / (100.0 * 1.001)),
    (0.25, 25_000.0 / (100.0 * 1.001)),
    (1.0001, None),
    (2.0, None),
    (0.0, None),
    (-0.0, None),
    (-0.5, None),
    (math.nan, None),
    (math.inf, None),
]


@pytest.mark.parametrize("fraction, units", SIZE_CASES, ids=[repr(f) for f, _ in SIZE_CASES])
def test_a_fraction_outside_zero_to_one_opens_nothing_and_raises_nothing(fraction, units):
    r = run(flags(5, 1), flags(5, 3), position_sizes=np.full(5, fraction))
    assert [t.size for t in r.trades()] == ([] if units is None else [pytest.approx(units, rel=1e-12)])
    if units is None:
        np.testing.assert_array_equal(r.equity_curve(), np.full(5, 100_000.0))


def test_the_docstring_examples_of_fractions_that_open_nothing():
    doc = " ".join(tw.run_single_backtest.__doc__.split())
    assert "A fraction outside (0, 1], or NaN, makes that entry open nothing" in doc
    examples = [float(x) for x in re.findall(r"-?\d+\.\d+", re.search(r"without an error: (.*)$", doc).group(1))]
    assert len(examples) >= 2  # the sentence was found and holds its examples
    assert all(run(flags(5, 1), flags(5, 3), position_sizes=np.full(5, f)).trades() == [] for f in examples)


def test_slippage_only_when_enabled_and_positive():
    base = run(flags(5, 1), flags(5, 3))
    same_result(run(flags(5, 1), flags(5, 3), config=tw.BacktestConfig(slippage=0.01, apply_slippage=False)), base)
    same_result(run(flags(5, 1), flags(5, 3), config=tw.BacktestConfig(slippage=0.0, apply_slippage=True)), base)
    (t,) = run(flags(5, 1), flags(5, 3), config=tw.BacktestConfig(slippage=0.01)).trades()
    assert t.entry_price == pytest.approx(101.0) and t.exit_price == pytest.approx(118.8)


def test_atr_stop_runs_with_a_period_past_the_data():
    # A period past the data gives only warm-up values; the run still completes.
    config = tw.BacktestConfig()
    config.set_atr_stop(2.0, 50)
    r = run(flags(5, 1), flags(5, 3), config=config)
    assert len(r.equity_curve()) == 5


def test_atr_stop_from_the_instrument_override_takes_effect():
    # Bars two wide around a falling close: the one-bar ATR at the entry is 2, so a 1x stop
    # sits at 98 and the bar whose low reaches it (bar 3, low 96) stops the position out
    # long before the signal exit at the last bar.
    close = np.array([100.0, 100.0, 99.0, 97.0, 95.0, 93.0, 91.0, 89.0])
    series = (np.arange(8, dtype=np.int64) * DAY, close, close + 1.0, close - 1.0, close, np.full(8, 1000.0))
    instrument = tw.InstrumentConfig()
    instrument.set_atr_stop(1.0, 1)
    (t,) = tw.run_single_backtest(*series, flags(8, 1), flags(8, 7), instrument_config=instrument).trades()
    assert t.exit_reason == "StopLoss" and t.exit_idx < 7
    (plain,) = tw.run_single_backtest(*series, flags(8, 1), flags(8, 7)).trades()
    assert plain.exit_reason == "Signal"


@pytest.mark.parametrize("n", [0, 1])
def test_tiny_series(n):
    r = run(np.ones(n, bool), np.zeros(n, bool), close=[100.0] * n, open_=[100.0] * n)
    assert len(r.equity_curve()) == n
    assert len(r.trades()) == n  # the one bar's entry is closed at the end of the data


# Lengths are checked before anything is read, each mismatch with its own message.
def test_length_mismatches_raise_value_errors():
    t, o, h, lo, c, v = bars()
    e, x = flags(5, 1), flags(5, 3)
    cases = [
        ((t, o, h[:3], lo, c, v, e, x), {}, "Data length mismatch: expected 5, got 3"),
        ((t, o, h, lo, c, v[:0], e, x), {}, "Data length mismatch: expected 5, got 0"),
        ((t, o, h, lo, c, v, e, x), {"position_sizes": np.ones(4)}, "Data length mismatch: expected 5, got 4"),
    ]
    for args, kw, message in cases:
        with pytest.raises(ValueError, match=message):
            tw.run_single_backtest(*args, **kw)


def test_longer_columns_are_accepted_and_ignored_past_close():
    t, o, h, lo, c, v = bars()
    longer = [np.append(a, a[-1:]) for a in (t, o, h, lo, v)]
    r = tw.run_single_backtest(longer[0], longer[1], longer[2], longer[3], c, longer[4], flags(5, 1), flags(5, 3),
                               position_sizes=np.ones(9))
    same_result(r, run(flags(5, 1), flags(5, 3)))


def test_result_does_not_follow_later_changes_to_the_inputs():
    t, o, h, lo, c, v = bars()
    e, x = flags(5, 1), flags(5, 3)
    config = tw.BacktestConfig()
    r = tw.run_single_backtest(t, o, h, lo, c, v, e, x, config=config)
    before = r.equity_curve().copy()
    c[:] = 1.0
    e[:] = False
    config.initial_capital = 1.0
    assert np.array_equal(r.equity_curve(), before)


def test_docstring_names_only_what_exists():
    doc = tw.run_single_backtest.__doc__
    assert doc.startswith("Run single instrument backtest.")
    assert tw.run_single_backtest.__text_signature__ == (
        "(timestamps, open, high, low, close, volume, entries, exits, direction=1, weight=1.0, "
        "symbol=\"UNKNOWN\", config=None, position_sizes=None, instrument_config=None)")
    for name in re.findall(r"`(?:tarnwick\.)?([A-Za-z_]+)`", doc):
        assert hasattr(tw, name), name
