"""Gaps in the prices, odd weights and limits never stop the portfolio, basket and
multi-strategy runners: a run over valid inputs goes to the end with finite curves and
trades. Half the seeds also draw doubtful inputs (no starting capital, a price of 1e308,
a NaN lot size, an ATR period of 0), which may be refused with a ValueError but never crash.
"""

import math

import numpy as np
import pytest

import tarnwick as tw

# The prices that mean "no price here": an entry waits, positions keep their last mark.
GAPS = [np.nan, np.inf, -np.inf, 0.0, -1.0]


class Draws:
    def __init__(self, seed):
        self.rng = np.random.default_rng(seed)
        self.valid_only = seed % 2 == 0
        self.doubtful = False

    def pick(self, valid, others=()):
        """One of `valid`, or on a seed that may go wrong, one of both lists."""
        choices = list(valid) if self.valid_only else list(valid) + list(others)
        value = choices[self.rng.integers(0, len(choices))]
        self.doubtful |= any(value is o for o in others)
        return value


def _instruments(d, n, k):
    out = []
    for j in range(k):
        c = d.rng.uniform(1.0, 200.0, n)
        if n:
            c[d.rng.integers(0, n)] = d.pick(GAPS, [1e308])
        o = c * d.rng.uniform(0.9, 1.1, n)
        out.append((np.arange(n, dtype=np.int64), o, np.maximum(o, c), np.minimum(o, c), c, np.ones(n),
                    d.rng.random(n) < 0.4, d.rng.random(n) < 0.4, int(d.pick([1, -1])),
                    float(d.pick([0.0, 1.0, np.nan, -1.0])), f"S{j % 2}"))
    return out


def _finite(result):
    curves = result.equity_curve(), result.returns(), result.drawdown_curve()
    figures = [x for t in result.trades() for x in (t.entry_price, t.exit_price, t.size, t.pnl, t.fees)]
    return all(np.isfinite(c).all() for c in curves) and all(map(math.isfinite, figures))


def _runs(d):
    rng = d.rng
    n = int(rng.integers(0, 12))
    insts = _instruments(d, n, int(rng.integers(1, 4)))
    capital = d.pick([1e4], [0.0, -5.0])
    cfg_kwargs = dict(initial_capital=capital, fees=0.001, upon_bar_close=bool(rng.random() < 0.5),
                      max_positions=rng.choice([None, 0, 1, 2]), max_drawdown_pct=rng.choice([None, 5.0]),
                      legacy_annualization=bool(rng.random() < 0.5))
    atr_period = int(d.pick([1, 2, 3], [0])) if rng.random() < 0.5 else None
    lot_size = float(d.pick([0.0, 3.0], [np.nan]))
    allocation = str(rng.choice(["equal_weight", "full"]))
    sync_mode = str(rng.choice(["all", "any", "majority", "master"]))
    combine_mode = str(rng.choice(["any", "all", "majority", "weighted", "independent"]))

    def config():
        cfg = tw.BacktestConfig(**cfg_kwargs)
        if atr_period is not None:
            cfg.set_atr_stop(2.0, atr_period)
        return cfg, {"S0": tw.InstrumentConfig(lot_size=lot_size, alloted_capital=100.0)}

    return n, insts, config, allocation, sync_mode, combine_mode


@pytest.mark.parametrize("seed", range(40))
def test_degenerate_prices_weights_and_capital_run_to_the_end(seed):
    d = Draws(seed)
    n, insts, config, allocation, sync_mode, combine_mode = _runs(d)
    try:
        cfg, overrides = config()
        p = tw.run_portfolio_backtest(insts, cfg, allocation, overrides)
    except ValueError:
        assert d.doubtful, "a valid portfolio run was refused"
        return
    assert len(p.result.equity_curve()) == n and len(p.per_instrument) == len(insts)
    assert sum(s.trades for s in p.per_instrument) == len(p.result.trades())

    if all(i[9] >= 0.0 for i in insts):
        b = tw.run_basket_backtest(insts, cfg, sync_mode, overrides)
        assert len(b.equity_curve()) == n
    else:
        # A negative or NaN weight is no share of the cash.
        b = None
        with pytest.raises(ValueError, match="^weight of instrument "):
            tw.run_basket_backtest(insts, cfg, sync_mode, overrides)

    strategies = [(i[6], i[7], i[8], 1.0, i[10]) for i in insts]
    m = tw.run_multi_backtest(*insts[0][:6], strategies, cfg, combine_mode)
    assert len(m.equity_curve()) == n

    if not d.doubtful:
        for result in (p.result, b, m):
            assert result is None or _finite(result)
