"""run_portfolio_backtest, 20 instruments x 100,000 bars, against vectorbt with one cash pool.

Twenty random-walk instruments, sparse random signals (about 1% of bars enter, 1% exit,
per instrument), a flat 0.1% fee and same-bar-close fills. The reference is vectorbt's
Portfolio.from_signals over the same closes and signals with cash_sharing=True and the
columns in one group, each entry taking all the cash left (our "full" allocation);
equal_weight is timed too. vectorbt is warmed up first so that its compilation is not
timed. Our timings include the conversion of the instrument tuples and the building of
the Python result. Without vectorbt the bench prints our timings only. NumPy's BLAS
threads are held to one so that their idle spinning takes no core from the timed work.
"""

import os

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402
from timing import best_of  # noqa: E402

import tarnwick as tw  # noqa: E402

N = 100_000
K = 20
FEES = 0.001
CAPITAL = 1_000_000.0
GOAL = 8.0


def data(n=N, k=K, seed=5):
    rng = np.random.default_rng(seed)
    ts = np.arange(n, dtype=np.int64) * 60 * 10**9
    instruments = []
    for i in range(k):
        close = 100.0 * np.cumprod(1.0 + rng.normal(0.0, 0.01, n))
        open_ = close * (1.0 + rng.normal(0.0, 0.002, n))
        high = np.maximum(open_, close) * 1.003
        low = np.minimum(open_, close) * 0.997
        entries = rng.random(n) < 0.01
        exits = rng.random(n) < 0.01
        instruments.append((ts, open_, high, low, close, np.full(n, 1e4), entries, exits, 1, 1.0, f"S{i:02d}"))
    return instruments


def ours(instruments, allocation="full"):
    config = tw.BacktestConfig(fees=FEES, initial_capital=CAPITAL)
    return tw.run_portfolio_backtest(instruments, config, allocation)


def main():
    instruments = data()
    ours(instruments)
    t_full = best_of(lambda: ours(instruments))
    t_equal = best_of(lambda: ours(instruments, "equal_weight"))
    try:
        import pandas as pd
        import vectorbt as vbt
    except Exception as exc:
        print(f"vectorbt unavailable ({type(exc).__name__}); run_portfolio_backtest {K} x {N} bars: "
              f"full {t_full * 1e3:.1f} ms, equal_weight {t_equal * 1e3:.1f} ms")
        return

    columns = [inst[10] for inst in instruments]
    close = pd.DataFrame(np.column_stack([inst[4] for inst in instruments]), columns=columns)
    entries = pd.DataFrame(np.column_stack([inst[6] for inst in instruments]), columns=columns)
    exits = pd.DataFrame(np.column_stack([inst[7] for inst in instruments]), columns=columns)

    def reference(c=close, e=entries, x=exits):
        return vbt.Portfolio.from_signals(c, e, x, fees=FEES, init_cash=CAPITAL, cash_sharing=True,
                                          group_by=True, freq="1min")

    small = data(1000, 3)
    reference(*(pd.DataFrame(np.column_stack([inst[j] for inst in small])) for j in (4, 6, 7))).value()
    reference()
    t_ref = best_of(reference)
    r, pf = ours(instruments), reference()
    print(f"vectorbt {vbt.__version__}: from_signals (cash_sharing=True) {t_ref * 1e3:.1f} ms")
    print(f"run_portfolio_backtest {K} x {N} bars: full {t_full * 1e3:.1f} ms, speed-up {t_ref / t_full:.2f}x; "
          f"equal_weight {t_equal * 1e3:.1f} ms, speed-up {t_ref / t_equal:.2f}x (goal >= {GOAL:g}x)")
    print(f"  trades {len(r.result.trades())} vs {len(pf.trades.records)}, final value "
          f"{r.result.equity_curve()[-1]:.6g} vs {pf.value().iloc[-1]:.6g}; load average {os.getloadavg()[0]:.1f}")


if __name__ == "__main__":
    main()
