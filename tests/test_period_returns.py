"""A run's per-bar returns once the account has gone below zero.

A return is the change in equity over the magnitude of the equity before it, so it keeps
the sign of the change: a short that keeps losing after it has lost the whole account
reports losses, not gains, and the ratios built on the returns say so. Every runner and
session that samples an equity curve follows the one rule.
"""
import math

import numpy as np
import pytest
from array_inputs import DAY, inst

import tarnwick as tw

PERIODS = 252.0


def cfg():
    return tw.BacktestConfig(fees=0.0, periods_per_year=PERIODS)


def single(closes):
    args = inst(closes, entries=(0,), direction=-1)
    return tw.run_single_backtest(*args[:8], direction=-1, config=cfg())


def portfolio(closes):
    return tw.run_portfolio_backtest([inst(closes, entries=(0,), direction=-1)], cfg()).result


def basket(closes):
    return tw.run_basket_backtest([inst(closes, entries=(0,), direction=-1)], cfg())


def multi_independent(closes):
    ts, o, h, lo, c, v, e, x = inst(closes, entries=(0,), direction=-1)[:8]
    return tw.run_multi_backtest(ts, o, h, lo, c, v, [(e, x, -1, 1.0, "s")], cfg(), combine_mode="independent")


def kernel_session(closes):
    s = tw.KernelSession(direction=-1, config=cfg())
    for i, p in enumerate(closes):
        s.step(i, i * DAY, p, p, p, p, 1000.0, entry=i == 0)
    return s.finish()


def portfolio_session(closes):
    s = tw.PortfolioSession(cfg())
    s.add_instrument("A", direction=-1)
    p = np.array(closes, dtype=np.float64)
    s.set_bars(0, np.arange(len(p), dtype=np.int64) * DAY, p, p, p, p, np.full(len(p), 1000.0))
    s.seal()
    first = True
    while s.remaining():
        s.apply_current(entry=first)
        first = False
    return s.finish().result


RUNS = [single, portfolio, basket, multi_independent, kernel_session, portfolio_session]

# 100000 sells 1000 units short at 100 (fees 0), so equity is 100000 + 1000 x (100 - close).
PATHS = [
    pytest.param([100.0, 100.0, 250.0, 300.0, 350.0], [100000.0, 100000.0, -50000.0, -100000.0, -150000.0],
                 [0.0, 0.0, -1.5, -1.0, -0.5], id="losing_past_the_account"),
    # -50000 to -30000 gains 20000 on 50000; -30000 to -100000 loses 70000 on 30000.
    pytest.param([100.0, 250.0, 230.0, 300.0], [100000.0, -50000.0, -30000.0, -100000.0],
                 [0.0, -1.5, 0.4, -7.0 / 3.0], id="recovering_below_zero"),
]


@pytest.mark.parametrize("run", RUNS, ids=lambda f: f.__name__)
@pytest.mark.parametrize(("closes", "equity", "returns"), PATHS)
def test_returns_below_zero_have_the_sign_of_the_change(run, closes, equity, returns):
    r = run(closes)
    assert list(r.equity_curve()) == equity
    assert r.returns() == pytest.approx(returns, rel=1e-15)


@pytest.mark.parametrize("run", RUNS, ids=lambda f: f.__name__)
def test_ratios_see_the_losses(run):
    m = run([100.0, 100.0, 250.0, 300.0, 350.0]).metrics
    # Returns 0, 0, -1.5, -1, -0.5: mean -0.6, sample variance 1.7 / 4, downside
    # sqrt((2.25 + 1 + 0.25) / 5), no gains for the omega ratio.
    assert m.sharpe_ratio == pytest.approx(-0.6 / math.sqrt(0.425) * math.sqrt(PERIODS), rel=1e-12)
    assert m.sortino_ratio == pytest.approx(-0.6 / math.sqrt(0.7) * math.sqrt(PERIODS), rel=1e-12)


def test_a_run_above_zero_divides_by_the_equity_itself():
    # 100000 buys 1000 units at 100: equity 100000, 110000, 99000.
    r = tw.run_single_backtest(*inst([100.0, 110.0, 99.0], entries=(0,))[:8], config=cfg())
    assert list(r.returns()) == [0.0, 10000.0 / 100000.0, -11000.0 / 110000.0]
