"""A trade's favourable and adverse prices bracket its own fills.

The position's extremes are the market prices it traded through, and its entry and exit
fills are among them: an exit filled at a gap open, before that bar's range reaches the
position, still counts. A slipped fill counts at the market price it was slipped from, the
slipped price being no price the market traded.
"""
import numpy as np
import pytest
from array_inputs import DAY, flags

import tarnwick as tw

NEXT_OPEN = "next_bar_open"


def ohlc(opens, closes):
    o = np.array(opens, dtype=np.float64)
    c = np.array(closes, dtype=np.float64)
    return o, np.maximum(o, c), np.minimum(o, c), c


def single(opens, closes, entry, exit_, direction=1, **cfg):
    o, h, lo, c = ohlc(opens, closes)
    n = len(c)
    config = tw.BacktestConfig(fees=0.0, fill_timing=NEXT_OPEN, **cfg)
    return tw.run_single_backtest(np.arange(n, dtype=np.int64) * DAY, o, h, lo, c, np.full(n, 1000.0),
                                  flags(n, entry), flags(n, exit_), direction=direction, config=config)


# 100000 buys (or sells short) 1000 units at bar 1's open, 100; the exit signal of bar 2
# fills at bar 3's open, beyond every price bars 1 and 2 traded.
GAP_UP = ([100, 100, 101, 110, 110], [100, 101, 102, 110, 110])
GAP_DOWN = ([100, 100, 99, 90, 90], [100, 99, 98, 90, 90])


@pytest.mark.parametrize(("bars", "direction", "mae", "mfe", "mae_pnl", "mfe_pnl", "capture"), [
    pytest.param(GAP_UP, 1, 100.0, 110.0, 0.0, 10000.0, 1.0, id="long_gap_up"),
    pytest.param(GAP_DOWN, 1, 90.0, 100.0, -10000.0, 0.0, None, id="long_gap_down"),
    pytest.param(GAP_UP, -1, 110.0, 100.0, -10000.0, 0.0, None, id="short_gap_up"),
    pytest.param(GAP_DOWN, -1, 100.0, 90.0, 0.0, 10000.0, 1.0, id="short_gap_down"),
])
def test_an_exit_at_a_gap_open_is_an_extreme(bars, direction, mae, mfe, mae_pnl, mfe_pnl, capture):
    r = single(*bars, entry=0, exit_=2, direction=direction)
    (t,) = r.trades()
    assert (t.entry_price, t.exit_price) == (100.0, bars[0][3])
    assert (t.mae_price, t.mfe_price, t.mae_pnl, t.mfe_pnl) == (mae, mfe, mae_pnl, mfe_pnl)
    # A winner that exits at its best price captured all of its favourable excursion.
    assert r.metrics.mfe_capture_ratio == capture


def test_slipped_fills_count_at_the_market_price():
    # 1% slippage: the entry fills at 101 (100000 / 101 units) and the exit slips from 110
    # to 108.9.
    r = single(*GAP_UP, entry=0, exit_=2, slippage=0.01)
    (t,) = r.trades()
    size = 100000.0 / 101.0
    assert (t.entry_price, t.exit_price, t.size) == (101.0, pytest.approx(108.9, rel=1e-15), size)
    assert (t.mae_price, t.mfe_price) == (100.0, 110.0)
    assert t.mae_pnl == pytest.approx(-size, rel=1e-15)  # (100 - 101) x size
    assert t.mfe_pnl == pytest.approx(9.0 * size, rel=1e-15)  # (110 - 101) x size


# ---------------------------------------------------------------------------
# Random runs: single, shared-capital portfolio, KernelSession and PortfolioSession

RUNS_PER_KIND = 250  # four kinds: 1,000 runs


def random_bars(rng, n):
    """Bars that drift, open away from the previous close (now and then by a wide gap)
    and sometimes carry no price at all."""
    close = 100.0 * np.exp(np.cumsum(rng.normal(0.0, 0.02, n)))
    gap = np.where(rng.random(n) < 0.15, rng.normal(0.0, 0.06, n), rng.normal(0.0, 0.01, n))
    open_ = np.roll(close, 1) * np.exp(gap)
    open_[0] = close[0]
    high = np.maximum(open_, close) * (1.0 + np.abs(rng.normal(0.0, 0.01, n)))
    low = np.minimum(open_, close) * (1.0 - np.abs(rng.normal(0.0, 0.01, n)))
    hole = rng.random(n) < 0.03
    hole[0] = False
    for col in (open_, high, low, close):
        col[hole] = np.nan
    ts = np.arange(n, dtype=np.int64) * DAY
    return ts, open_, high, low, close, rng.uniform(1e3, 1e5, n).round()


def random_config(rng, slippage):
    c = tw.BacktestConfig(
        fees=float(rng.choice([0.0, 0.001])),
        slippage=slippage,
        fill_timing=str(rng.choice(["same_bar_close", NEXT_OPEN])),
        bar_path_adaptive=bool(rng.random() < 0.5),
    )
    k = rng.integers(0, 4)
    if k == 1:
        c.set_fixed_stop(0.03)
    elif k == 2:
        c.set_trailing_stop(0.04)
    elif k == 3:
        c.set_atr_stop(2.0, 5)
    k = rng.integers(0, 3)
    if k == 1:
        c.set_fixed_target(0.05)
    elif k == 2:
        c.set_risk_reward_target(1.5)
    return c


def signal_flags(rng, n):
    return rng.random(n) < 0.12, rng.random(n) < 0.12


def run_single(rng, slippage):
    bars = random_bars(rng, int(rng.integers(20, 120)))
    entries, exits = signal_flags(rng, len(bars[0]))
    direction = int(rng.choice([1, -1]))
    r = tw.run_single_backtest(*bars, entries, exits, direction=direction, config=random_config(rng, slippage))
    return r.trades()


def run_portfolio(rng, slippage):
    n = int(rng.integers(20, 100))
    instruments = []
    for k in range(int(rng.integers(1, 4))):
        bars = random_bars(rng, n)
        entries, exits = signal_flags(rng, n)
        instruments.append((*bars, entries, exits, int(rng.choice([1, -1])), 1.0, f"S{k}"))
    return tw.run_portfolio_backtest(instruments, random_config(rng, slippage)).result.trades()


def run_kernel_session(rng, slippage):
    ts, o, h, lo, c, v = random_bars(rng, int(rng.integers(20, 100)))
    s = tw.KernelSession(direction=int(rng.choice([1, -1])), config=random_config(rng, slippage))
    for i in range(len(ts)):
        # Orders only without slippage: a limit order's fill is slipped and then held at
        # its limit, which leaves no simple way back to the market price here.
        if not slippage and rng.random() < 0.05:
            side = str(rng.choice(["buy", "sell"]))
            s.submit_order(side, str(rng.choice(["market", "limit"])), i, int(ts[i]), f"o{i}",
                           units=float(rng.integers(1, 200)), limit_price=float(np.nan_to_num(c[i - 1], nan=100.0)))
        s.step(i, int(ts[i]), o[i], h[i], lo[i], c[i], v[i], entry=bool(rng.random() < 0.12),
               exit=bool(rng.random() < 0.12))
    return s.finish().trades()


def run_portfolio_session(rng, slippage):
    s = tw.PortfolioSession(random_config(rng, slippage))
    n = int(rng.integers(20, 80))
    for k in range(int(rng.integers(1, 4))):
        s.add_instrument(f"S{k}", direction=int(rng.choice([1, -1])))
        s.set_bars(k, *random_bars(rng, n))
    s.seal()
    while s.remaining():
        s.apply_current(entry=bool(rng.random() < 0.12), exit=bool(rng.random() < 0.12))
    return s.finish().result.trades()


def market_prices(t, slippage):
    """The market prices of a trade's entry and exit fills: a ledger fill moves its market
    price by the slippage fraction against the trader; a close at the end of the data or at
    settlement is not slipped."""
    d = t.direction
    entry = t.entry_price / (1.0 + slippage * d)
    unslipped_exit = t.exit_reason in ("EndOfData", "Settlement")
    exit_ = t.exit_price if unslipped_exit else t.exit_price / (1.0 - slippage * d)
    return entry, exit_


@pytest.mark.parametrize("run", [run_single, run_portfolio, run_kernel_session, run_portfolio_session],
                         ids=lambda f: f.__name__[4:])
@pytest.mark.parametrize("slippage", [0.0, 0.002])
def test_random_runs_bracket_every_fill(run, slippage):
    rng = np.random.default_rng([17, int(slippage * 1e4), len(run.__name__)])
    trades = 0
    for _ in range(RUNS_PER_KIND):
        for t in run(rng, slippage):
            trades += 1
            entry, exit_ = market_prices(t, slippage)
            low, high = min(entry, exit_), max(entry, exit_)
            adverse, favourable = (t.mae_price, t.mfe_price)
            lowest, highest = (adverse, favourable) if t.direction > 0 else (favourable, adverse)
            # A slipped price divided back is the market price to within a rounding.
            tol = 1e-12 * high if slippage else 0.0
            assert lowest <= low + tol and highest >= high - tol, (t, entry, exit_)
            assert t.mae_pnl <= 0.0 <= t.mfe_pnl
    assert trades > RUNS_PER_KIND
