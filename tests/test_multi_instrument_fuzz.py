import numpy as np
import pytest

import tarnwick as tw

SPECIAL = [np.nan, np.inf, -np.inf, 0.0, -1.0, 1e308]


def _instruments(rng, n, k):
    out = []
    for j in range(k):
        c = rng.uniform(1.0, 200.0, n)
        if n:
            c[rng.integers(0, n)] = SPECIAL[rng.integers(0, len(SPECIAL))]
        o = c * rng.uniform(0.9, 1.1, n)
        out.append((np.arange(n, dtype=np.int64), o, np.maximum(o, c), np.minimum(o, c), c, np.ones(n),
                    rng.random(n) < 0.4, rng.random(n) < 0.4, int(rng.choice([1, -1])),
                    float(rng.choice([0.0, 1.0, np.nan, -1.0])), f"S{j % 2}"))
    return out


@pytest.mark.parametrize("seed", range(25))
def test_degenerate_prices_weights_and_capital_run_to_the_end(seed):
    rng = np.random.default_rng(seed)
    n = int(rng.integers(0, 12))
    insts = _instruments(rng, n, int(rng.integers(1, 4)))
    cfg = tw.BacktestConfig(initial_capital=float(rng.choice([1e4, 1e-9, 1.0])), fees=0.001,
                            upon_bar_close=bool(rng.random() < 0.5), max_positions=rng.choice([None, 0, 1, 2]),
                            max_drawdown_pct=rng.choice([None, 5.0]), legacy_annualization=bool(rng.random() < 0.5))
    if rng.random() < 0.5:
        cfg.set_atr_stop(2.0, int(rng.integers(0, 4)))
    overrides = {"S0": tw.InstrumentConfig(lot_size=float(rng.choice([0.0, 3.0, np.nan])), alloted_capital=100.0)}

    p = tw.run_portfolio_backtest(insts, cfg, str(rng.choice(["equal_weight", "full"])), overrides)
    assert len(p.result.equity_curve()) == n and len(p.per_instrument) == len(insts)
    assert sum(s.trades for s in p.per_instrument) == len(p.result.trades())

    mode = str(rng.choice(["all", "any", "majority", "master"]))
    if all(i[9] >= 0.0 for i in insts):
        b = tw.run_basket_backtest(insts, cfg, mode, overrides)
        assert len(b.equity_curve()) == n
    else:
        # A negative or NaN weight is no share of the cash.
        with pytest.raises(ValueError, match="^weight of instrument "):
            tw.run_basket_backtest(insts, cfg, mode, overrides)

    strategies = [(i[6], i[7], i[8], 1.0, i[10]) for i in insts]
    m = tw.run_multi_backtest(*insts[0][:6], strategies, cfg,
                              str(rng.choice(["any", "all", "majority", "weighted", "independent"])))
    assert len(m.equity_curve()) == n
