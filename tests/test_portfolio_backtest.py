import re

import numpy as np
import pytest
from array_inputs import DAY, RESTAMPS, assert_dated_by_their_own_instrument, flags, inst, restamped, with_signal_bytes

import tarnwick as tw


def cfg(**kw):
    kw.setdefault("initial_capital", 10_000.0)
    kw.setdefault("fees", 0.0)
    return tw.BacktestConfig(**kw)


def summaries(r):
    return [(s.symbol, s.trades, s.pnl, s.rejected_entries) for s in r.per_instrument]


A = dict(close=[100.0, 110.0, 120.0, 120.0], entries=(0,), exits=(2,), symbol="A")
B = dict(close=[50.0, 50.0, 40.0, 40.0], entries=(0,), exits=(3,), symbol="B")


def test_equal_weight_splits_the_pool_across_free_slots():
    r = tw.run_portfolio_backtest([inst(**A), inst(**B)], cfg())
    # A takes 10000 / 2 = 5000 -> 50 units at 100; B takes what is left over the one slot
    # still free: 5000 -> 100 units at 50.
    ta, tb = r.result.trades()
    assert (ta.symbol, ta.size, ta.pnl) == ("A", 50.0, 1000.0)  # 50 x (120 - 100)
    assert (tb.symbol, tb.size, tb.pnl) == ("B", 100.0, -1000.0)  # 100 x (40 - 50)
    # bar 0: 5000 + 5000; bar 1: 50 x 110 + 100 x 50; bar 2: A sold for 6000, B at 40.
    np.testing.assert_array_equal(r.result.equity_curve(), [10_000.0, 10_500.0, 10_000.0, 10_000.0])
    np.testing.assert_allclose(r.result.returns(), [0.0, 0.05, -500.0 / 10_500.0, 0.0], rtol=1e-15)
    np.testing.assert_allclose(r.result.drawdown_curve(), [0.0, 0.0, 500.0 / 10_500.0 * 100, 500.0 / 10_500.0 * 100],
                               rtol=1e-15)
    assert summaries(r) == [("A", 1, 1000.0, 0), ("B", 1, -1000.0, 0)]
    assert (r.rejected_entries, r.halted, r.halted_at) == (0, False, None)
    assert r.result.orders() == []


@pytest.mark.parametrize("byte", [2, 128, 255])
def test_any_nonzero_signal_byte_is_a_set_flag(byte):
    # The signal arrays are read where they lie, bytes as given.
    r = tw.run_portfolio_backtest([with_signal_bytes(inst(**A), byte), with_signal_bytes(inst(**B), byte)], cfg())
    # As in the equal-weight split above: A 50 units +1000, B 100 units -1000.
    assert summaries(r) == [("A", 1, 1000.0, 0), ("B", 1, -1000.0, 0)]
    np.testing.assert_array_equal(r.result.equity_curve(), [10_000.0, 10_500.0, 10_000.0, 10_000.0])


def test_full_allocation_lends_the_whole_pool_and_skips_an_empty_one():
    r = tw.run_portfolio_backtest([inst(**A), inst(**B)], cfg(), "full")
    # A takes all 10000 -> 100 units; B finds the pool at 0 and is skipped, not refused.
    (t,) = r.result.trades()
    assert (t.symbol, t.size, t.pnl) == ("A", 100.0, 2000.0)
    np.testing.assert_array_equal(r.result.equity_curve(), [10_000.0, 11_000.0, 12_000.0, 12_000.0])
    assert summaries(r) == [("A", 1, 2000.0, 0), ("B", 0, 0.0, 0)]
    assert r.rejected_entries == 0


def test_max_positions_refuses_later_entries_of_the_same_bar():
    close = [100.0, 100.0, 100.0]
    insts = [inst(close, (0,), (), symbol=s) for s in "XYZ"]
    r = tw.run_portfolio_backtest(insts, cfg(max_positions=1))
    assert summaries(r) == [("X", 1, 0.0, 0), ("Y", 0, 0.0, 1), ("Z", 0, 0.0, 1)]
    assert r.rejected_entries == 2
    # One slot: the first entry takes the whole pool (10000 / (1 - 0)).
    assert r.result.trades()[0].size == 100.0


def test_max_positions_two_with_one_open_gives_the_entrant_the_whole_pool():
    a = inst([100.0, 100.0, 100.0], (0,), (), symbol="A")
    b = inst([50.0, 50.0, 50.0], (1,), (), symbol="B")
    r = tw.run_portfolio_backtest([a, b], cfg(max_positions=2))
    # A: 10000 / 2 = 5000 -> 50 units; B at bar 1: 5000 / (2 - 1) -> 100 units at 50.
    sizes = {t.symbol: t.size for t in r.result.trades()}
    assert sizes == {"A": 50.0, "B": 100.0}
    assert all(t.exit_reason == "EndOfData" for t in r.result.trades())


def test_drawdown_kill_switch_halts_entries_but_not_exits():
    a = inst([100.0, 85.0, 85.0, 90.0, 90.0], (0,), (3,), symbol="A")
    b = inst([10.0, 10.0, 10.0, 10.0, 10.0], (2,), (), symbol="B")
    r = tw.run_portfolio_backtest([a, b], cfg(max_drawdown_pct=10.0), "full")
    # A holds 100 units: equity 8500 at bar 1 is 15% below the 10000 peak -> halted at 1.
    assert (r.halted, r.halted_at) == (True, 1) and type(r.halted_at) is int
    assert summaries(r) == [("A", 1, -1000.0, 0), ("B", 0, 0.0, 1)]
    assert r.rejected_entries == 1
    np.testing.assert_array_equal(r.result.equity_curve(), [10_000.0, 8_500.0, 8_500.0, 9_000.0, 9_000.0])
    assert repr(r) == "PortfolioResult(instruments=2, rejected_entries=1, halted=true)"


@pytest.mark.parametrize("limit", [None, 0.0, -5.0])
def test_kill_switch_needs_a_positive_limit(limit):
    a = inst([100.0, 50.0, 50.0], (0,), (1,))
    b = inst([10.0, 10.0, 10.0], (2,), (), symbol="B")
    r = tw.run_portfolio_backtest([a, b], cfg(max_drawdown_pct=limit), "full")
    assert (r.halted, r.halted_at, r.rejected_entries) == (False, None, 0)
    assert [t.symbol for t in r.result.trades()] == ["A", "B"]


def test_short_in_the_cash_account_is_marked_by_its_open_profit():
    r = tw.run_portfolio_backtest([inst([100.0, 90.0, 80.0, 80.0], (0,), (2,), direction=-1)], cfg(), "full")
    # 100 units short from 100: at 90 the book is worth 100 x (2 x 100 - 90) = 11000.
    np.testing.assert_array_equal(r.result.equity_curve(), [10_000.0, 11_000.0, 12_000.0, 12_000.0])
    assert r.per_instrument[0].pnl == 2000.0


def test_open_position_closes_at_the_last_close_and_the_pool_is_the_last_point():
    r = tw.run_portfolio_backtest([inst([100.0, 120.0, 130.0], (0,), ())], cfg(fees=0.001), "full")
    (t,) = r.result.trades()
    assert (t.exit_idx, t.exit_price, t.exit_reason) == (2, 130.0, "EndOfData")
    assert r.per_instrument[0].trades == 1 and r.per_instrument[0].pnl == t.pnl
    # Entry fee only (the end-of-data close charges none): pool = 10000 + pnl.
    assert r.result.equity_curve()[-1] == pytest.approx(10_000.0 + t.pnl, rel=1e-15)
    assert r.metrics.end_value == r.result.equity_curve()[-1]


@pytest.mark.parametrize("moved", [0, 1])
@pytest.mark.parametrize("how", list(RESTAMPS))
def test_instruments_are_matched_by_bar_number_not_by_time(moved, how):
    config = cfg(periods_per_year=252)
    pair = [inst(**A), inst(**B)]
    base = tw.run_portfolio_backtest(pair, config)
    pair[moved] = restamped(pair[moved], how)
    r = tw.run_portfolio_backtest(pair, config)
    assert_dated_by_their_own_instrument(base.result, r.result, pair)
    assert summaries(r) == summaries(base)
    # Only instrument 0's stamps reach the metrics: under water from bar 2 to bar 3, one bar
    # apart, a day or an hour.
    expected = base.metrics.to_dict()
    assert expected["Max Drawdown Duration [s]"] == 86_400.0
    if (moved, how) == (0, "hourly"):
        expected["Max Drawdown Duration [s]"] = 3_600.0
    assert r.metrics.to_dict() == expected
    # A holding time is the trade's own: its exit stamp less its entry stamp.
    held = [(t.exit_time - t.entry_time) / 1e9 for t in r.result.trades()]
    assert r.metrics.avg_holding_period_secs == pytest.approx(sum(held) / len(held), rel=1e-15)
    assert "matched by bar number, not by time" in " ".join(tw.run_portfolio_backtest.__doc__.split())


def test_zero_bars_runs_nothing():
    r = tw.run_portfolio_backtest([inst([]), inst([], symbol="B")], cfg())
    assert len(r.result.equity_curve()) == 0 and r.result.trades() == []
    assert (r.halted, r.halted_at, r.rejected_entries) == (False, None, 0)
    assert r.metrics.start_value == r.metrics.end_value == 10_000.0


def test_weight_and_unknown_override_keys_change_nothing():
    base = tw.run_portfolio_backtest([inst(**A), inst(**B)], cfg())
    other = tw.run_portfolio_backtest([inst(**A, weight=5.0), inst(**B, weight=0.0)], cfg(),
                                      instrument_configs={"nobody": tw.InstrumentConfig(lot_size=7.0)})
    np.testing.assert_array_equal(base.result.equity_curve(), other.result.equity_curve())
    assert summaries(base) == summaries(other)


def test_instrument_config_reaches_its_kernel():
    r = tw.run_portfolio_backtest([inst(**A), inst(**B)], cfg(),
                                  instrument_configs={"A": tw.InstrumentConfig(lot_size=30.0)})
    # A's 5000 buys 50 units, rounded down to the lot of 30; B then gets the 7000 left.
    sizes = {t.symbol: t.size for t in r.result.trades()}
    assert sizes == {"A": 30.0, "B": 140.0}


def with_column(k, column):
    """A three-bar instrument with its column k replaced."""
    t = list(inst([100.0, 101.0, 102.0], (0,), ()))
    t[k] = column
    return tuple(t)


@pytest.mark.parametrize("make_args, exc, text", [
    (lambda: ([],), ValueError, "run_portfolio_backtest requires at least one instrument"),
    (lambda: ([inst([1.0] * 100), inst([1.0] * 99)],), ValueError,
     "all instruments must have the same number of bars; instrument 1 has 99, expected 100"),
    (lambda: ([inst([1.0])], None, "Full"), ValueError, "unknown allocation 'Full'; expected 'equal_weight' or 'full'"),
    (lambda: ([inst([1.0])], None, None), TypeError, "allocation"),
    # The bar count is checked before the allocation name.
    (lambda: ([inst([1.0, 1.0]), inst([1.0])], None, "nope"), ValueError,
     "all instruments must have the same number of bars; instrument 1 has 1, expected 2"),
    (lambda: ([with_column(7, np.zeros(2, dtype=bool))],), ValueError,
     "instrument 'A': Entry and exit arrays must have same length: entries 3, exits 2"),
    (lambda: ([with_column(1, np.ones(2))],), ValueError, "instrument 'A': Data length mismatch: expected 3, got 2"),
])
def test_refusals(make_args, exc, text):
    with pytest.raises(exc, match="^" + (".*" if exc is TypeError else "") + re.escape(text)):
        tw.run_portfolio_backtest(*make_args())


def _random_instrument(seed, n=120):
    rng = np.random.default_rng(seed)
    close = 100.0 * np.cumprod(1.0 + rng.normal(0.0, 0.02, n))
    open_ = close * (1.0 + rng.normal(0.0, 0.005, n))
    high = np.maximum(open_, close) * 1.01
    low = np.minimum(open_, close) * 0.99
    entries = rng.random(n) < 0.15
    exits = rng.random(n) < 0.15
    ts = np.arange(n, dtype=np.int64) * DAY
    return ts, open_, high, low, close, np.full(n, 1000.0), entries, exits


def _close_results(single, p):
    np.testing.assert_allclose(p.equity_curve(), single.equity_curve(), rtol=1e-12)
    np.testing.assert_allclose(p.drawdown_curve(), single.drawdown_curve(), rtol=1e-9, atol=1e-9)
    ts, tp = single.trades(), p.trades()
    assert [(t.entry_idx, t.exit_idx, t.exit_reason, t.entry_price, t.exit_price) for t in ts] == \
        [(t.entry_idx, t.exit_idx, t.exit_reason, t.entry_price, t.exit_price) for t in tp]
    assert [t.pnl for t in tp] == pytest.approx([t.pnl for t in ts], rel=1e-10)
    assert p.metrics.total_trades == single.metrics.total_trades
    assert p.metrics.total_return_pct == pytest.approx(single.metrics.total_return_pct, rel=1e-9)


@pytest.mark.parametrize("direction", [1, -1])
@pytest.mark.parametrize("config", [
    dict(fees=0.001, slippage=0.0005),
    dict(fees=0.002, stop=("fixed", 3.0), target=("fixed", 5.0)),
    dict(fees=0.001, upon_bar_close=False),
])
def test_one_instrument_equals_the_single_run(direction, config):
    stop = config.pop("stop", None)
    target = config.pop("target", None)
    c = tw.BacktestConfig(initial_capital=50_000.0, **config)
    if stop:
        c.set_fixed_stop(stop[1])
    if target:
        c.set_fixed_target(target[1])
    arrays = _random_instrument(7 if direction == 1 else 11)
    single = tw.run_single_backtest(*arrays, direction=direction, symbol="S", config=c)
    p = tw.run_portfolio_backtest([(*arrays, direction, 1.0, "S")], c)
    _close_results(single, p.result)


# Next-bar open with a 3 % stop, no fees. Entry signal on bar 0: 1000 units bought at bar
# 1's open 100, stop 97.
STOP_BARS = {
    # Bar 1 trades down to 95: the stop sells at 97 on the entry bar itself.
    "entry_bar_meets_the_stop": dict(open=[100, 100, 100, 99, 100], high=[100, 101, 100, 101, 101],
                                     low=[100, 95, 98, 98, 99], close=[100, 99, 99, 100, 101], exits=(),
                                     trade=(1, 1, 97.0, "StopLoss"), equity=[100_000.0] + [97_000.0] * 4),
    # The exit of bar 2 sells at bar 3's open 98, before bar 3's low of 90 reaches the stop.
    "exit_goes_before_the_stop": dict(open=[100, 100, 100, 98, 95], high=[100, 101, 101, 98, 95],
                                      low=[100, 99, 99, 90, 95], close=[100, 100, 100, 95, 95], exits=(2,),
                                      trade=(1, 3, 98.0, "Signal"), equity=[100_000.0] * 3 + [98_000.0] * 2),
}


def _stop_case_columns(case):
    n = len(case["close"])
    cols = [np.array(case[k], dtype=np.float64) for k in ("open", "high", "low", "close")]
    return (np.arange(n, dtype=np.int64) * DAY, *cols, np.full(n, 1000.0), flags(n, 0), flags(n, *case["exits"]))


def _next_open_stop():
    c = tw.BacktestConfig(fees=0.0, fill_timing="next_bar_open")
    c.set_fixed_stop(0.03)
    return c


@pytest.mark.parametrize("runner", ["single", "portfolio"])
@pytest.mark.parametrize("case", STOP_BARS.values(), ids=STOP_BARS.keys())
def test_next_open_stop_meets_the_entry_bar_after_the_exit_due_there(case, runner):
    columns = _stop_case_columns(case)
    if runner == "single":
        r = tw.run_single_backtest(*columns, config=_next_open_stop())
    else:
        r = tw.run_portfolio_backtest([(*columns, 1, 1.0, "A")], _next_open_stop(), "full").result
    (t,) = r.trades()
    assert t.entry_price == 100.0 and t.size == 1000.0
    assert (t.entry_idx, t.exit_idx, t.exit_price, t.exit_reason) == case["trade"]
    np.testing.assert_array_equal(r.equity_curve(), case["equity"])


def test_next_open_instruments_keep_their_own_stop_rule():
    a = (*_stop_case_columns(STOP_BARS["entry_bar_meets_the_stop"]), 1, 1.0, "A")
    o, c = np.array([50.0, 50.0, 50.0, 45.0, 48.0]), np.array([50.0, 50.0, 45.0, 48.0, 52.0])
    low = np.array([50.0, 50.0, 44.0, 44.0, 48.0])
    b = (np.arange(5, dtype=np.int64) * DAY, o, np.maximum(o, c), low, c, np.full(5, 1000.0), flags(5, 1), flags(5),
         1, 1.0, "B")
    stop_a = tw.InstrumentConfig()
    stop_a.set_fixed_stop(0.03)
    r = tw.run_portfolio_backtest([a, b], cfg(fill_timing="next_bar_open"), "equal_weight", {"A": stop_a})
    ta, tb = r.result.trades()
    # A takes 10000 / 2 at 100 (50 units) and its stop sells them at 97 on the same bar.
    assert (ta.symbol, ta.entry_idx, ta.exit_idx, ta.size, ta.exit_price, ta.exit_reason) == \
        ("A", 1, 1, 50.0, 97.0, "StopLoss")
    # B, without a stop, holds through the dip to 44: the 9850 left over two free slots
    # buys 98.5 units at bar 2's open 50, sold at the last close 52.
    assert (tb.symbol, tb.entry_idx, tb.exit_idx, tb.size, tb.exit_price, tb.exit_reason) == \
        ("B", 2, 4, 98.5, 52.0, "EndOfData")
    # Pool 9850 at bar 1; 4925 in cash from bar 2, plus 98.5 units at 45, 48, 52.
    np.testing.assert_array_equal(r.result.equity_curve(), [10_000.0, 9_850.0, 9_357.5, 9_653.0, 10_047.0])
    assert summaries(r) == [("A", 1, -150.0, 0), ("B", 1, 197.0, 0)]


# Prices that are no price at all: an entry on them opens nothing, an exit waits.
GAP_PRICES = [np.nan, np.inf, 0.0, -1.0]
TRADE_FIELDS = ["id", "symbol", "direction", "size", "entry_idx", "entry_time", "entry_price", "exit_idx", "exit_time",
                "exit_price", "exit_reason", "pnl", "return_pct", "fees", "entry_fees", "exit_fees", "mae_price",
                "mfe_price", "mae_pnl", "mfe_pnl"]


def _random_run(seed):
    """One instrument and a configuration drawn from `seed`: either fill timing, every
    stop and target rule (or none), long or short, gaps in any price column."""
    rng = np.random.default_rng(90_000 + seed)
    n = int(rng.integers(2, 60))
    close = 100.0 * np.cumprod(1.0 + rng.normal(0.0, 0.02, n))
    open_ = close * (1.0 + rng.normal(0.0, 0.01, n))
    high = np.maximum(open_, close) * (1.0 + rng.uniform(0.0, 0.02, n))
    low = np.minimum(open_, close) * (1.0 - rng.uniform(0.0, 0.02, n))
    if seed % 2:
        for column in (open_, high, low, close):
            column[rng.random(n) < 0.05] = GAP_PRICES[int(rng.integers(0, len(GAP_PRICES)))]
    density = rng.uniform(0.05, 0.4)
    entries, exits = rng.random(n) < density, rng.random(n) < density
    c = tw.BacktestConfig(initial_capital=10_000.0, fees=float(rng.choice([0.0, 0.001])),
                          slippage=float(rng.choice([0.0, 0.0005])),
                          fill_timing=["same_bar_close", "next_bar_open"][seed % 4 // 2])
    period = int(rng.integers(1, 6))
    stop = int(rng.integers(0, 4))
    if stop == 1:
        c.set_fixed_stop(float(rng.uniform(0.005, 0.05)))
    elif stop == 2:
        c.set_trailing_stop(float(rng.uniform(0.005, 0.05)))
    elif stop == 3:
        c.set_atr_stop(float(rng.uniform(0.5, 3.0)), period)
    target = int(rng.integers(0, 4))
    if target == 1:
        c.set_fixed_target(float(rng.uniform(0.005, 0.08)))
    elif target == 2:
        c.set_atr_target(float(rng.uniform(0.5, 3.0)), period + 1)
    elif target == 3:
        c.set_risk_reward_target(float(rng.uniform(0.5, 3.0)))
    columns = (np.arange(n, dtype=np.int64) * DAY, open_, high, low, close, np.full(n, 1000.0), entries, exits)
    return columns, int(rng.choice([1, -1])), c


def _trade_rows(result):
    # The pool hands a kernel its cash back by subtraction, so money may differ from the
    # single run's in the last bits; everything else is equal.
    def value(v):
        return pytest.approx(v, rel=1e-12, abs=1e-8) if isinstance(v, float) else v
    return [[value(getattr(t, f)) for f in TRADE_FIELDS] for t in result.trades()]


@pytest.mark.parametrize("seed", range(200))
def test_one_instrument_with_the_whole_pool_trades_as_the_single_run(seed):
    columns, direction, c = _random_run(seed)
    single = tw.run_single_backtest(*columns, direction=direction, symbol="S", config=c)
    p = tw.run_portfolio_backtest([(*columns, direction, 1.0, "S")], c, "full").result
    assert [[getattr(t, f) for f in TRADE_FIELDS] for t in p.trades()] == _trade_rows(single)
    np.testing.assert_allclose(p.equity_curve(), single.equity_curve(), rtol=1e-12)
    np.testing.assert_allclose(p.drawdown_curve(), single.drawdown_curve(), rtol=0.0, atol=1e-9)
    np.testing.assert_allclose(p.returns(), single.returns(), rtol=0.0, atol=1e-12)
