import math

import numpy as np
import pytest
from array_inputs import DAY, flags

import tarnwick as tw

LEG1 = [100.0, 105.0, 110.0, 110.0]
LEG2 = [50.0, 50.0, 50.0, 50.0]


def leg(close, open_=None, ts_offset=0):
    close = np.asarray(close, dtype=np.float64)
    open_ = close if open_ is None else np.asarray(open_, dtype=np.float64)
    n = len(close)
    ts = np.arange(n, dtype=np.int64) * DAY + ts_offset
    return [ts, open_, close + 1.0, close - 1.0, close, np.full(n, 10.0)]


def run(entries, exits, leg1=LEG1, leg2=LEG2, open1=None, open2=None, **kw):
    return tw.run_pairs_backtest(*leg(leg1, open1), *leg(leg2, open2, ts_offset=10**9), entries, exits, **kw)


def cfg(fees=0.001, **kw):
    return tw.BacktestConfig(fees=fees, initial_capital=100_000.0, **kw)


def test_long_pair_round_trip_records_both_legs():
    r = run(flags(4, 0), flags(4, 2), config=cfg())
    # Half the cash per leg: q1 = 50000 / 100 = 500, q2 = 1.0 x 50000 / 50 = 1000; entry fees 50 + 50.
    # Exit: gross = 10 x 500 + 0 = 5000; fees 500 x 110 x 0.001 + 1000 x 50 x 0.001 = 105.
    net = 5000.0 - 100.0 - 105.0
    t1, t2 = r.trades()
    assert (t1.id, t1.symbol, t1.direction, t1.size, t1.entry_price, t1.exit_price) == (
        0, "PAIR_LEG1", 1, 500.0, 100.0, 110.0)
    assert (t2.id, t2.symbol, t2.direction, t2.size, t2.entry_price, t2.exit_price) == (
        1, "PAIR_LEG2", -1, 1000.0, 50.0, 50.0)
    for t in (t1, t2):
        assert (t.entry_idx, t.exit_idx, t.exit_reason, t.fee_breakdown) == (0, 2, "Signal", None)
        assert t.pnl == pytest.approx(net / 2)
        assert t.return_pct == pytest.approx(50 * net / 100_000.0)
        assert (t.fees, t.entry_fees, t.exit_fees) == pytest.approx((102.5, 50.0, 52.5))
        assert t.mae_price is None and t.mfe_pnl is None
    # Each leg's own clock.
    assert (t1.entry_time, t1.exit_time) == (0, 2 * DAY)
    assert (t2.entry_time, t2.exit_time) == (10**9, 2 * DAY + 10**9)
    # Cash after the entry is -100; the pair is marked at both closes.
    assert r.equity_curve() == pytest.approx([99_900.0, 102_400.0, 104_795.0, 104_795.0])
    assert r.drawdown_curve() == pytest.approx([0.1, 0.0, 0.0, 0.0])
    assert r.returns() == pytest.approx([0.0, 2500 / 99_900, 2395 / 102_400, 0.0])
    m = r.metrics
    assert (m.total_trades, m.winning_trades, m.losing_trades, m.win_rate_pct) == (1, 1, 0, 100.0)
    assert (m.total_return_pct, m.max_drawdown_pct, m.calmar_ratio, m.end_value) == pytest.approx(
        (4.795, 0.1, 47.95, 104_795.0))
    assert (m.profit_factor, m.start_value, m.omega_ratio) == (None, 100_000.0, 0.0)
    assert m.total_fees_paid == pytest.approx(205.0)


@pytest.mark.parametrize("exit_bar, fees, record_fees", [
    # 500 units a leg at 100: 1% of 50000 in on each leg, 1% of 55000 out on each.
    (3, 0.01, [1_050.0, 1_050.0]),
    (None, 0.01, [1_000.0]),  # held to the end: one record, the entry fees only
    (3, 0.0, [0.0, 0.0]),
])
def test_fee_total_is_what_the_records_carry(exit_bar, fees, record_fees):
    close = [100.0, 100.0, 110.0, 110.0, 110.0]
    exits = flags(5) if exit_bar is None else flags(5, exit_bar)
    r = run(flags(5, 0), exits, leg1=close, leg2=close, config=cfg(fees=fees))
    assert [t.fees for t in r.trades()] == pytest.approx(record_fees, rel=1e-15)
    assert r.metrics.total_fees_paid == pytest.approx(sum(record_fees), rel=1e-15)


def test_short_pair_loses_the_same_move():
    r = run(flags(4, 0), flags(4, 2), config=cfg(), direction=-1)
    t1, t2 = r.trades()
    assert (t1.direction, t2.direction) == (-1, 1)
    assert t1.pnl == pytest.approx((-5000.0 - 100.0 - 105.0) / 2)
    m = r.metrics
    assert (m.total_trades, m.winning_trades, m.losing_trades, m.win_rate_pct) == (1, 0, 1, 0.0)


def test_defaults_and_none_config():
    a = run(flags(4, 0), flags(4, 2))
    b = run(flags(4, 0), flags(4, 2), direction=1, symbol="PAIR", config=None, hedge_ratio=1.0, dynamic_hedge=False)
    c = run(flags(4, 0), flags(4, 2), config=tw.BacktestConfig(), hedge_ratio=1)
    for x in (b, c):
        assert np.array_equal(a.equity_curve(), x.equity_curve())
        assert [t.pnl for t in a.trades()] == [t.pnl for t in x.trades()]
    assert a.trades()[0].symbol == "PAIR_LEG1"
    assert tw.run_pairs_backtest.__doc__.strip().endswith("Run pairs trading backtest.")


def test_fixed_ratio_scales_leg_two():
    for ratio, size in ((2, 2000.0), (0.0, 0.0)):
        r = run(flags(4, 0), flags(4, 2), config=cfg(fees=0.0), hedge_ratio=ratio)
        assert [t.size for t in r.trades()] == [500.0, size]


def test_next_bar_open_fills_at_the_next_opens_and_marks_at_closes():
    open1 = [99.0, 104.0, 108.0, 112.0]
    open2 = [50.0, 51.0, 50.0, 49.0]
    r = run(flags(4, 0), flags(4, 2), open1=open1, open2=open2, config=cfg(fees=0.0, upon_bar_close=False))
    q1, q2 = 50_000.0 / 104.0, 50_000.0 / 51.0
    t1, t2 = r.trades()
    assert (t1.entry_idx, t1.exit_idx, t1.entry_price, t1.exit_price) == (1, 3, 104.0, 112.0)
    assert (t2.entry_price, t2.exit_price) == (51.0, 49.0)
    assert (t1.size, t2.size) == pytest.approx((q1, q2))
    # Bar 1: long leg 1 up 105 - 104, short leg 2 up 51 - 50; bar 3 after the exit holds the cash.
    assert r.equity_curve() == pytest.approx([
        100_000.0, 100_000.0 + q1 + q2, 100_000.0 + 6 * q1 + q2, 100_000.0 + 8 * q1 + 2 * q2])


def test_open_pair_at_the_end_is_one_record_and_leaves_the_curves():
    r = run(flags(4, 1), flags(4), config=cfg())
    q1 = 50_000.0 / 105.0
    gross = 5.0 * q1
    fee = 50.0 + 50.0  # entry fees only: the pair is valued, not sold
    (t,) = r.trades()
    assert (t.id, t.symbol, t.direction, t.entry_idx, t.exit_idx, t.exit_reason) == (0, "PAIR", 1, 1, 3, "EndOfData")
    assert (t.entry_price, t.exit_price, t.entry_time, t.exit_time) == (105.0, 110.0, DAY, 3 * DAY)
    assert (t.size, t.pnl, t.return_pct) == pytest.approx((q1 + 1000.0, gross - fee, (gross - fee) / 1000.0))
    assert (t.fees, t.entry_fees, t.exit_fees) == pytest.approx((fee, fee, 0.0))
    # The curves keep the mark: cash -100 plus notionals and gross, no exit fees.
    assert r.equity_curve()[-1] == r.metrics.end_value == pytest.approx(-100.0 + 100_000.0 + gross)
    assert r.metrics.total_trades == 1


def test_entry_on_the_last_bar_costs_only_the_fees_or_is_dropped_at_next_bar_open():
    (t,) = run(flags(4, 3), flags(4), config=cfg()).trades()
    # q1 = 50000 / 110, q2 = 1000; exit fees 50 + 50 at the same closes.
    assert t.pnl == pytest.approx(-100.0)
    r = run(flags(4, 3), flags(4), config=cfg(upon_bar_close=False))
    assert r.trades() == [] and r.equity_curve().tolist() == [100_000.0] * 4


def test_round_trips_count_pairs_of_records():
    leg1 = [100.0, 110.0, 100.0, 95.0]
    r = run(flags(4, 0, 2), flags(4, 1, 3), leg1=leg1, config=cfg(fees=0.0))
    # Trip 1: q1 = 500, +5000. Trip 2: cash 105000, q1 = 525, -2625.
    assert [t.pnl for t in r.trades()] == [2500.0, 2500.0, -1312.5, -1312.5]
    m = r.metrics
    assert (m.total_trades, m.winning_trades, m.losing_trades, m.win_rate_pct) == (2, 1, 1, 50.0)
    assert m.profit_factor == pytest.approx(5000.0 / 2625.0)
    # A trip and a pair still open: the open pair counts as a round trip of its own.
    r = run(flags(4, 0, 2), flags(4, 1), leg1=leg1, config=cfg(fees=0.0))
    m = r.metrics
    assert (len(r.trades()), m.total_trades, m.winning_trades, m.losing_trades, m.win_rate_pct) == (3, 2, 1, 1, 50.0)


# equity_intraday at value V: brokerage min(0.03% V, 20), STT 0.025% sell side, exchange 0.00307%,
# SEBI 1e-6, stamp 0.003% buy side, GST 18% of brokerage + exchange + SEBI.
def intraday(value, buy):
    brokerage, exch, sebi = min(0.0003 * value, 20.0), 3.07e-5 * value, 1e-6 * value
    stt, stamp = (0.0, 3e-5 * value) if buy else (0.00025 * value, 0.0)
    return brokerage + stt + exch + sebi + stamp + 0.18 * (brokerage + exch + sebi)


@pytest.mark.parametrize("direction", [1, -1])
def test_cost_segment_charges_each_leg_on_its_own_side(direction):
    r = run(flags(4, 0), flags(4, 2), config=tw.BacktestConfig(fee_segment="NSE"), direction=direction)
    long1 = direction == 1
    entry = intraday(50_000.0, buy=long1) + intraday(50_000.0, buy=not long1)
    exit_ = intraday(110.0 * 500, buy=not long1) + intraday(50.0 * 1000, buy=long1)
    assert r.equity_curve()[0] == pytest.approx(100_000.0 - entry, rel=1e-12)
    t1, t2 = r.trades()
    assert (t1.entry_fees, t1.exit_fees) == pytest.approx((entry / 2, exit_ / 2), rel=1e-12)
    assert (t2.entry_fees, t2.exit_fees) == (t1.entry_fees, t1.exit_fees)
    assert t1.fee_breakdown is None


def linear_legs(slope, intercept=3.0, n=25):
    x = 50.0 + np.arange(n, dtype=np.float64)
    return slope * x + intercept, x


# An estimated slope is a ratio of prices, so of units: leg 2 holds slope x leg 1's units.
# The caller's ratio is one of values: leg 2 gets ratio x leg 1's half of the cash.
@pytest.mark.parametrize("slope, intercept, signal_bar, units_per_unit, value_ratio", [
    (2.0, 3.0, 20, 2.0, None),     # first bar with a full 21-bar window
    (2.0, 3.0, 19, None, 50.0),    # too early: the caller's ratio, never clamped
    (50.0, 0.0, 20, 10.0, None),   # clamped high
    (0.02, 100.0, 22, 0.1, None),  # clamped low
])
def test_dynamic_hedge_ratio(slope, intercept, signal_bar, units_per_unit, value_ratio):
    leg1, leg2 = linear_legs(slope, intercept)
    r = run(flags(25, signal_bar), flags(25, 24), leg1=leg1, leg2=leg2, config=cfg(fees=0.0), hedge_ratio=50.0,
            dynamic_hedge=True)
    t1, t2 = r.trades()
    q1 = 50_000.0 / leg1[signal_bar]
    q2 = units_per_unit * q1 if value_ratio is None else value_ratio * 50_000.0 / leg2[signal_bar]
    assert (t1.size, t2.size) == pytest.approx((q1, q2), rel=1e-9)


@pytest.mark.parametrize("dynamic, q2, pnl", [
    # Leg 1 is twice leg 2 at every bar: the slope is 2 and the pair is riskless, flat.
    (True, 2 * 50_000.0 * 29 / 3_400, 0.0),
    # The caller's 2.0 in value puts 100000 into leg 2: short twice the units it needs,
    # it loses (2 q1 - q2) x 30 / 29 as leg 2 climbs from bar 25 to bar 28.
    (False, 100_000.0 * 29 / 1_700, -50_000.0 * 30 / 1_700),
])
def test_a_riskless_pair_stays_flat_under_the_estimated_hedge(dynamic, q2, pnl):
    leg2 = np.linspace(50.0, 60.0, 30)  # 1700 / 29 at bar 25, 30 / 29 more at bar 28
    r = run(flags(30, 25), flags(30, 28), leg1=2.0 * leg2, leg2=leg2, config=cfg(fees=0.0), hedge_ratio=2.0,
            dynamic_hedge=dynamic)
    t1, t2 = r.trades()
    assert (t1.size, t2.size) == pytest.approx((50_000.0 * 29 / 3_400, q2), rel=1e-12)
    assert t1.pnl + t2.pnl == pytest.approx(pnl, abs=1e-7)
    assert r.metrics.end_value == pytest.approx(100_000.0 + pnl, abs=1e-7)


def test_dynamic_hedge_keeps_the_fixed_ratio_when_leg_two_is_flat():
    leg1 = 100.0 + np.arange(25, dtype=np.float64)
    r = run(flags(25, 20), flags(25, 24), leg1=leg1, leg2=np.full(25, 50.0), config=cfg(fees=0.0), hedge_ratio=1.5,
            dynamic_hedge=True)
    assert r.trades()[1].size == pytest.approx(1.5 * 50_000.0 / 50.0)


def test_a_nan_hedge_ratio_opens_nothing():
    leg1, leg2 = linear_legs(2.0)
    leg1[5] = np.nan
    r = run(flags(25, 20, 22), flags(25, 21, 24), leg1=leg1, leg2=leg2, config=cfg(fees=0.0), dynamic_hedge=True)
    # The NaN slope would hold NaN units of leg 2; bar 21's exit closes nothing and bar 22 opens
    # with the window 2..22, which still holds the NaN: nothing is ever traded.
    assert r.trades() == []
    assert r.equity_curve().tolist() == [100_000.0] * 25


@pytest.mark.parametrize("bad", [-5.0, float("nan")])
def test_an_unusable_price_opens_nothing_until_the_next_exit(bad):
    leg1 = [100.0, 105.0, 110.0, 110.0, 120.0]
    leg2 = [50.0, 50.0, 50.0, 50.0, 50.0]
    leg2[0] = bad
    r = run(flags(5, 0, 1, 3), flags(5, 2, 4), leg1=leg1, leg2=leg2, config=cfg(fees=0.0))
    # Bar 0 cannot open; bar 1's flag is dropped as the signals count the pair as open; bar 2's
    # exit closes nothing; bar 3 opens and bar 4 closes.
    assert [(t.entry_idx, t.exit_idx) for t in r.trades()] == [(3, 4), (3, 4)]
    assert r.equity_curve()[:3].tolist() == [100_000.0] * 3


def test_dynamic_hedge_under_next_bar_open_ends_the_window_at_the_signal_bar():
    leg1, leg2 = linear_legs(2.0)
    leg1[21] = 500.0  # breaks the line only for a window that reaches bar 21
    open2 = leg2 + 0.5
    r = run(flags(25, 20), flags(25, 23), leg1=leg1, leg2=leg2, open2=open2,
            config=cfg(fees=0.0, upon_bar_close=False), dynamic_hedge=True)
    t1, t2 = r.trades()
    assert t1.entry_idx == 21
    # Fills at bar 21's opens: leg 1's is its close, 500.
    assert (t1.size, t2.size) == pytest.approx((50_000.0 / 500.0, 2.0 * 50_000.0 / 500.0), rel=1e-9)


def test_no_bars():
    r = run(flags(0), flags(0), leg1=[], leg2=[])
    assert r.trades() == [] and len(r.equity_curve()) == 0
    assert (r.metrics.end_value, r.metrics.total_return_pct) == (100_000.0, 0.0)


def test_second_leg_columns_are_named():
    args = leg(LEG1) + leg(LEG2)
    args[10] = args[10].astype(np.float32)
    with pytest.raises(TypeError, match="argument 'leg2_close': "):
        tw.run_pairs_backtest(*args, flags(4, 0), flags(4, 2))
    args = leg(LEG1) + leg(LEG2)
    args[1] = np.ones((2, 2))
    with pytest.raises(TypeError, match="argument 'leg1_open': "):
        tw.run_pairs_backtest(*args, flags(4, 0), flags(4, 2))


def test_lengths_are_checked():
    with pytest.raises(ValueError, match="leg1_close 4, leg2_close 3"):
        run(flags(4, 0), flags(4, 2), leg2=LEG2[:3])
    with pytest.raises(ValueError, match="close 4, entries 3"):
        run(flags(3, 0), flags(3, 2))
    with pytest.raises(ValueError, match="Entry and exit arrays must have same length"):
        run(flags(4, 0), flags(3, 2))
    args = leg(LEG1) + leg(LEG2)
    args[6] = args[6][:3]
    with pytest.raises(ValueError, match="^leg2_timestamps has 3 values, leg1_close has 4$"):
        tw.run_pairs_backtest(*args, flags(4, 0), flags(4, 2))
    # The opens matter only when fills take them.
    args = leg(LEG1) + leg(LEG2)
    args[7] = args[7][:3]
    assert len(tw.run_pairs_backtest(*args, flags(4, 0), flags(4, 2)).trades()) == 2
    with pytest.raises(ValueError, match="^leg2_open has 3 values, leg1_close has 4$"):
        tw.run_pairs_backtest(*args, flags(4, 0), flags(4, 2), config=cfg(upon_bar_close=False))


def test_z_score_signals_open_and_close_once_per_round_trip():
    rng = np.random.default_rng(7)
    leg2 = 50.0 + np.cumsum(rng.normal(0.0, 0.5, 60))
    leg1 = 2.0 * leg2 + np.sin(np.arange(60) / 3.0) * 4.0
    spread = leg1 - 2.0 * leg2
    z = (spread - spread.mean()) / spread.std()
    entries, exits = z < -1.0, z > 0.0
    # Independent walk: the first entry flag while flat opens, the first exit flag while open
    # closes (not on a bar that also carries an entry flag).
    trips, holding = [], None
    for i in range(60):
        if holding is None and entries[i]:
            holding = i
        elif holding is not None and exits[i] and not entries[i]:
            trips.append((holding, i))
            holding = None
    assert len(trips) >= 2 and entries.sum() > len(trips)
    r = run(entries, exits, leg1=leg1, leg2=leg2, config=cfg(), hedge_ratio=2.0)
    records = r.trades()
    signal_records = [t for t in records if t.exit_reason == "Signal"]
    assert [(t.entry_idx, t.exit_idx) for t in signal_records[::2]] == trips
    assert [(t.entry_idx, t.exit_idx) for t in signal_records[1::2]] == trips
    assert [t.id for t in records] == list(range(len(records)))
    assert (len(records) % 2 == 1) == (holding is not None)
