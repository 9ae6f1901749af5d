import math

import numpy as np
import pytest

import tarnwick as tw

NAN = math.nan
S = 1_000_000_000  # nanoseconds per second


def f64(values):
    return np.array(values, dtype=np.float64)


def i64(values):
    return np.array(values, dtype=np.int64)


FACES = [
    ("return_window", "(timestamps_ns, ltp, window_seconds=60.0)", "Per-tick lookback return over a time window."),
    (
        "realized_vol_rolling",
        "(timestamps_ns, ltp, window_seconds=300.0)",
        "Rolling realized volatility proxy: stddev of log-returns over a time window (as %).",
    ),
    ("oi_position_pct", "(oi, oi_day_high, oi_day_low)", "Per-tick OI position within the day's high/low range: [0, 100]."),
    (
        "tick_velocity",
        "(timestamps_ns, window_seconds=60.0)",
        "Rolling tick velocity: ticks per minute over the preceding window_seconds.",
    ),
    ("tick_spread_pct", "(bid, ask)", "Per-tick bid/ask spread as percentage of mid price."),
    (
        "buy_sell_imbalance_delta",
        "(buy_qty_cumulative, sell_qty_cumulative)",
        "Per-tick delta BSI from broker cumulative session totals.",
    ),
    (
        "compute_tick_entry_signals",
        "(spread_pct, bsi_delta, return_1m, spread_pct_max=5.0, bsi_min=0.0, return_1m_min_abs=0.0, "
        "return_direction=1, cooldown_ticks=10)",
        "Compute tick momentum entry signals from per-tick feature arrays.",
    ),
    (
        "compute_tick_exit_signals",
        "(timestamps_ns, eod_exit_time_ns=0)",
        "Compute time-based exit signals (EOD / session-end).",
    ),
]


@pytest.mark.parametrize("name, signature, first_line", FACES)
def test_face(name, signature, first_line):
    fn = getattr(tw, name)
    assert fn.__text_signature__ == signature
    assert fn.__doc__.split("\n")[0] == first_line


def test_docstring_details():
    assert "return_direction: +1 for long (needs positive return_1m), -1 for short." in (
        tw.compute_tick_entry_signals.__doc__
    )
    assert tw.compute_tick_exit_signals.__doc__.split("\n")[2:] == [
        "Sets exit[i] = True for every tick with timestamp >= eod_exit_time_ns.",
        "Set eod_exit_time_ns = 0 to disable (returns all False).",
        "timestamps_ns: nanoseconds-since-epoch for each tick (int64 array).",
    ]


# ---------------------------------------------------------------------------
# Features: one call each, so every argument and default reaches the engine; the
# values at the edges are the engine tests'.


def test_return_window():
    ts = i64([0, 30 * S, 60 * S, 90 * S])
    # bases: 100 at 0 s for the tick at 60 s, 101 at 30 s for the tick at 90 s
    out = tw.return_window(ts, f64([100, 101, 102, 103]))
    np.testing.assert_array_equal(out, [NAN, NAN, 2.0, 1.9801980198019802])


def test_realized_vol_rolling():
    ts = i64([0, 1 * S, 2 * S])
    ltp = f64([100, 101, 99])
    r = [math.log(101 / 100), math.log(99 / 101)]
    mean = (r[0] + r[1]) / 2
    expected = math.sqrt(((r[0] - mean) ** 2 + (r[1] - mean) ** 2) / 1) * 100.0
    out = tw.realized_vol_rolling(ts, ltp)
    assert np.isnan(out[:2]).all()
    assert out[2] == pytest.approx(expected, rel=1e-15)
    assert np.isnan(tw.realized_vol_rolling(ts, ltp, 1.0)[2])


def test_oi_position_pct():
    np.testing.assert_array_equal(tw.oi_position_pct(f64([100, 150, 250]), 200.0, 100.0), [0.0, 50.0, 150.0])


def test_tick_velocity():
    ts = i64([0, 10 * S, 20 * S, 70 * S])
    # at 70 s the tick at exactly 10 s is a full window back and is not counted: 2 ticks in 1 min
    np.testing.assert_array_equal(tw.tick_velocity(ts), [0.0, 2.0, 3.0, 2.0])
    # a 30 s window is half a minute: counts doubled
    np.testing.assert_array_equal(tw.tick_velocity(ts, 30.0), [0.0, 4.0, 6.0, 2.0])


def test_tick_spread_pct():
    np.testing.assert_array_equal(tw.tick_spread_pct(f64([99, 0]), f64([101, 0])), [2.0, 0.0])


def test_buy_sell_imbalance_delta():
    # increments (buy, sell): (10, 0) -> 1, (0, 10) -> 0, (fall -> 0, 5) -> 0
    out = tw.buy_sell_imbalance_delta(f64([0, 10, 10, 5]), f64([0, 0, 10, 15]))
    np.testing.assert_array_equal(out, [0.5, 1.0, 0.0, 0.0])
    with pytest.raises(ValueError, match="^Data length mismatch: expected 3, got 1$"):
        tw.buy_sell_imbalance_delta(f64([1, 2, 3]), f64([1]))


# ---------------------------------------------------------------------------
# Gates


def entries(out):
    assert out.dtype == np.bool_
    return list(np.flatnonzero(out))


def test_entry_defaults():
    # cooldown 10 and a 5 % spread ceiling unless given
    assert entries(tw.compute_tick_entry_signals(np.ones(25), f64([]), f64([]))) == [0, 11, 22]
    spread = f64([6.0, NAN, 5.0, 0.0])
    assert entries(tw.compute_tick_entry_signals(spread, f64([]), f64([]), cooldown_ticks=0)) == [1, 2, 3]


def test_entry_gates_by_keyword():
    spread = np.ones(5)
    bsi = f64([0.5, 0.6, NAN, 0.9])
    got = tw.compute_tick_entry_signals(spread, bsi, f64([]), bsi_min=0.6, cooldown_ticks=0)
    # 0.5 blocks, 0.6 and NaN pass, tick 4 is beyond the end of bsi_delta
    assert entries(got) == [1, 2, 3]
    ret = f64([0.2, -0.2, 0.05, NAN, -0.05])
    got = tw.compute_tick_entry_signals(np.ones(6), f64([]), ret, return_1m_min_abs=0.1, return_direction=-1,
                                        cooldown_ticks=0)
    assert entries(got) == [1]


def test_return_direction_is_eight_bits():
    one = np.ones(1)
    with pytest.raises(OverflowError, match="^out of range integral type conversion attempted$"):
        tw.compute_tick_entry_signals(one, one, one, return_direction=200)


def test_exit_signals():
    ts = i64([10, 20, 30, 40])
    assert entries(tw.compute_tick_exit_signals(ts)) == []
    assert entries(tw.compute_tick_exit_signals(ts, 30)) == [2, 3]
