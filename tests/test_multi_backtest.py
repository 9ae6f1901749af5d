import re

import numpy as np
import pytest
from array_inputs import DAY, flags

import tarnwick as tw

CLOSE = [100.0, 100.0, 110.0, 120.0, 115.0, 118.0]


def bars(close=CLOSE):
    n = len(close)
    close = np.array(close, dtype=np.float64)
    return (np.arange(n, dtype=np.int64) * DAY, close.copy(), close * 1.01, close * 0.99, close, np.full(n, 1000.0))


def strat(entries=(), exits=(), direction=1, weight=1.0, name="s", n=len(CLOSE)):
    return (flags(n, *entries), flags(n, *exits), direction, weight, name)


def cfg(**kw):
    kw.setdefault("initial_capital", 100_000.0)
    kw.setdefault("fees", 0.001)
    return tw.BacktestConfig(**kw)


def trips(r):
    return [(t.entry_idx, t.exit_idx) for t in r.trades()]


def same_result(a, b):
    for curve in ("equity_curve", "returns", "drawdown_curve"):
        assert np.array_equal(getattr(a, curve)(), getattr(b, curve)()), curve
    assert [(t.entry_idx, t.exit_idx, t.size, t.pnl, t.symbol, t.direction) for t in a.trades()] == \
        [(t.entry_idx, t.exit_idx, t.size, t.pnl, t.symbol, t.direction) for t in b.trades()]
    assert a.metrics.to_dict() == b.metrics.to_dict()


@pytest.mark.parametrize("mode", ["any", "independent"])
def test_no_strategies(mode):
    r = tw.run_multi_backtest(*bars(), [], cfg(), mode)
    assert r.trades() == [] and r.orders() == [] and len(r.equity_curve()) == 0
    m = r.metrics
    assert (m.start_value, m.end_value, m.total_trades) == (100_000.0, 100_000.0, 0)
    assert m.avg_win_pct is None and m.mfe_capture_ratio is None


@pytest.mark.parametrize("mode", ["any", "all", "majority", "weighted"])
def test_one_strategy_vote_is_the_single_run(mode):
    s = strat((1, 4), (3,), name="rsi")
    single = tw.run_single_backtest(*bars(), s[0], s[1], symbol="rsi", config=cfg())
    same_result(tw.run_multi_backtest(*bars(), [s], cfg(), mode), single)


@pytest.mark.parametrize("entering, want", [
    # (strategies entering at bar 1 out of n) -> which modes enter
    ((1, 2), {"any": True, "all": False, "majority": False, "weighted": False}),
    ((2, 4), {"any": True, "all": False, "majority": False, "weighted": False}),
    ((3, 4), {"any": True, "all": False, "majority": True, "weighted": True}),
    ((4, 4), {"any": True, "all": True, "majority": True, "weighted": True}),
    ((2, 3), {"any": True, "all": False, "majority": True, "weighted": True}),
])
def test_votes(entering, want):
    c, n = entering
    strategies = [strat((1,) if i < c else (), name=f"s{i}") for i in range(n)]
    for mode, enters in want.items():
        r = tw.run_multi_backtest(*bars(), strategies, cfg(), mode)
        assert (len(r.trades()) == 1) == enters, mode


@pytest.mark.parametrize("mode", ["any", "all", "majority", "weighted"])
def test_any_exit_closes_the_combined_position(mode):
    strategies = [strat((1,), (), name="a"), strat((1,), (3,), name="b")]
    r = tw.run_multi_backtest(*bars(), strategies, cfg(), mode)
    assert trips(r) == [(1, 3)]
    assert r.trades()[0].symbol == "a"


def test_combined_run_trades_in_the_first_direction():
    strategies = [strat((1,), (3,), direction=-1, name="short"), strat((1,), (3,), direction=1, name="long")]
    (t,) = tw.run_multi_backtest(*bars(), strategies, cfg()).trades()
    assert (t.direction, t.symbol) == (-1, "short")


def test_mode_names_are_case_sensitive():
    strategies = [strat((1,), (3,), name="a"), strat((), (), name="b")]
    r = tw.run_multi_backtest(*bars(), strategies, cfg(), "Independent")
    assert trips(r) == [(1, 3)] and r.trades()[0].symbol == "a"  # the "any" vote


def test_independent_splits_capital_and_sums_equity():
    strategies = [strat((1,), (3,), name="a"), strat((2,), (4,), name="b"), strat(name="c"),
                  strat((0,), (), direction=-1, name="d")]
    r = tw.run_multi_backtest(*bars(), strategies, cfg(), "independent")
    # Each strategy alone on 25000; the merged curve is the sum of the four runs.
    runs = [tw.run_single_backtest(*bars(), s[0], s[1], direction=s[2], symbol=s[4],
                                   config=cfg(initial_capital=25_000.0)) for s in strategies]
    summed = np.sum([x.equity_curve() for x in runs], axis=0)
    np.testing.assert_allclose(r.equity_curve(), summed, rtol=1e-15)
    assert [t.symbol for t in r.trades()] == ["a_0", "b_1", "d_3"]
    assert [t.pnl for t in r.trades()] == [t.pnl for x in runs for t in x.trades()]
    assert r.orders() == []
    # The running peak starts at the first summed sample (d's entry fee puts it below the capital).
    peak = np.maximum.accumulate(summed)
    np.testing.assert_allclose(r.drawdown_curve(), (peak - summed) / peak * 100, rtol=1e-12, atol=1e-12)
    np.testing.assert_allclose(r.returns()[1:], np.diff(summed) / summed[:-1], rtol=1e-12)
    m = r.metrics
    assert m.start_value == 100_000.0 and m.end_value == summed[-1]
    assert (m.total_closed_trades, m.total_open_trades, m.omega_ratio, m.payoff_ratio) == (0, 0, 0.0, 0.0)
    wins = sum(t.pnl > 0 for t in r.trades())
    assert m.winning_trades == wins and m.win_rate_pct == pytest.approx(wins / 3 * 100, rel=1e-15)


@pytest.mark.parametrize("mode", ["any", "all", "majority", "weighted", "independent"])
def test_fee_total_is_what_the_records_carry(mode):
    close = [100.0, 100.0, 110.0, 110.0, 110.0]
    strategies = [strat((0,), (3,), name="a", n=5), strat((0,), (3,), name="b", n=5)]
    r = tw.run_multi_backtest(*bars(close), strategies, cfg(fees=0.01), mode)
    # A capital C buys C / (100 x 1.01) units and pays 1% at 100 and at 110: 2.1 / 101 of C,
    # whether one run has the whole 100000 or two runs have half of it each.
    assert r.metrics.total_fees_paid == pytest.approx(210_000.0 / 101.0, rel=1e-12)
    assert r.metrics.total_fees_paid == pytest.approx(sum(t.fees for t in r.trades()), rel=1e-15)


def test_independent_legacy_ratios_from_trade_returns():
    s = strat((1,), (3,), name="x")
    r = tw.run_multi_backtest(*bars(), [s], cfg(legacy_annualization=True), "independent")
    # One winning trade: Sharpe 0, Sortino infinite (reported as None).
    assert r.metrics.sharpe_ratio == 0.0 and r.metrics.sortino_ratio is None


@pytest.mark.parametrize("mode", ["any", "independent"])
def test_weight_changes_nothing(mode):
    a = tw.run_multi_backtest(*bars(), [strat((1,), (3,), weight=0.0), strat((2,), (4,))], cfg(), mode)
    b = tw.run_multi_backtest(*bars(), [strat((1,), (3,), weight=5.0), strat((2,), (4,))], cfg(), mode)
    same_result(a, b)


def test_independent_with_no_bars_is_an_empty_run():
    r = tw.run_multi_backtest(*bars([]), [strat(n=0)], cfg(), "independent")
    assert len(r.equity_curve()) == 0 and r.metrics.end_value == 100_000.0


@pytest.mark.parametrize("args, exc, text", [
    (lambda: (*bars(), [strat(), strat(n=5)]), ValueError, "All strategies must have same length as OHLCV"),
    (lambda: (*bars(), [strat()[:1] + (flags(5),) + strat()[2:]]), ValueError,
     "Entry and exit arrays must have same length"),
    (lambda: (*bars()[:5], np.ones(5), [strat()]), ValueError, "volume has 5 values, close has 6"),
])
def test_refusals(args, exc, text):
    with pytest.raises(exc, match="^" + re.escape(text)):
        tw.run_multi_backtest(*args())
