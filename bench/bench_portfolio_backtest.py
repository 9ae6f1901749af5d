"""run_portfolio_backtest, 20 instruments x 100,000 bars, against vectorbt with one cash pool.

Twenty random-walk instruments, a flat 0.1% fee and same-bar-close fills. The signals
come one at a time: a fifth of the bars carries one, for one instrument picked at
random, an entry when that instrument is flat and an exit when it holds, so that about
half the instruments hold a position at any time. The reference is vectorbt's
Portfolio.from_signals over the same closes and signals with cash_sharing=True and the
columns in one group: for our "full" allocation each entry takes all the cash left, for
"equal_weight" the share of the cash our runner gives it, one over the instruments not
yet holding (an equal-weight entry always finds cash, so that share follows from the
signals alone). vectorbt is warmed up first so that its compilation is not timed. Our timings include the conversion of the instrument tuples and the building
of the Python result. Without vectorbt the bench prints our timings only. NumPy's BLAS
threads are held to one so that their idle spinning takes no core from the timed work.

Both sides must make the same trades (the same instruments and bars, the same sizes to
rounding) and the same equity curve, or the bench stops before it prints a ratio. The
signals are made so that they can: per instrument they alternate, because an entry our
runner refuses for want of cash still counts for its signal rule (a second entry before
an exit is then ignored) while vectorbt, holding nothing, takes it; and one bar never
carries two, because we run every exit before any entry while vectorbt goes column by
column.
"""

import os

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402
from timing import best_of, same_work  # noqa: E402

import tarnwick as tw  # noqa: E402

N = 100_000
K = 20
FEES = 0.001
CAPITAL = 1_000_000.0
SIGNAL_SHARE = 0.2  # of the bars
GOAL = 8.0


def signals(rng, n, k):
    """Entries and exits, (k, n) each: on a fifth of the bars one instrument's signal, an
    entry when it is flat and an exit when it holds."""
    entries, exits = np.zeros((k, n), dtype=bool), np.zeros((k, n), dtype=bool)
    holding = np.zeros(k, dtype=bool)
    for t in np.flatnonzero(rng.random(n) < SIGNAL_SHARE):
        i = int(rng.integers(0, k))
        (exits if holding[i] else entries)[i, t] = True
        holding[i] = not holding[i]
    return entries, exits


def data(n=N, k=K, seed=5):
    rng = np.random.default_rng(seed)
    ts = np.arange(n, dtype=np.int64) * 60 * 10**9
    entries, exits = signals(rng, n, k)
    instruments = []
    for i in range(k):
        close = 100.0 * np.cumprod(1.0 + rng.normal(0.0, 0.01, n))
        open_ = close * (1.0 + rng.normal(0.0, 0.002, n))
        high = np.maximum(open_, close) * 1.003
        low = np.minimum(open_, close) * 0.997
        instruments.append((ts, open_, high, low, close, np.full(n, 1e4), entries[i], exits[i], 1, 1.0, f"S{i:02d}"))
    return instruments


def ours(instruments, allocation="full"):
    config = tw.BacktestConfig(fees=FEES, initial_capital=CAPITAL)
    return tw.run_portfolio_backtest(instruments, config, allocation)


def equal_weight_sizes(entries, exits):
    """vectorbt's order sizes, (n, k), as fractions of the cash: one over the instruments
    not holding when the entry comes, counted from the signals (every entry is funded, and
    a bar carries one signal at most)."""
    k = entries.shape[0]
    holding_before = np.cumsum(entries.sum(0)) - np.cumsum(exits.sum(0)) - entries.sum(0)
    return np.where(entries.T, 1.0 / (k - holding_before)[:, None], np.nan)


def trade_table(rows):
    """Trades as (entry bar, instrument, exit bar or -1 while open, size), in entry order."""
    return np.array(sorted(rows), dtype=np.float64).reshape(-1, 4)


def check_same_run(r, pf, allocation):
    """Stops the bench unless both sides made the same trades and equity curve."""
    mine = trade_table((t.entry_idx, int(t.symbol[1:]), -1 if t.exit_reason == "EndOfData" else t.exit_idx, t.size)
                       for t in r.result.trades())
    rec = pf.trades.records
    theirs = trade_table(zip(rec["entry_idx"], rec["col"], np.where(rec["status"] == 0, -1, rec["exit_idx"]),
                             rec["size"]))
    what = f"{allocation} against vectorbt"
    same_work(f"trade counts ({what})", len(mine), len(theirs))
    same_work(f"instruments, entry and exit bars ({what})", mine[:, :3], theirs[:, :3])
    same_work(f"trade sizes ({what})", mine[:, 3], theirs[:, 3], rtol=1e-9)
    same_work(f"equity curves ({what})", r.result.equity_curve(), pf.value().to_numpy(), rtol=1e-9)
    return f"{allocation} {len(mine)} trades"


def main():
    instruments = data()
    ours(instruments)
    try:
        import pandas as pd
        import vectorbt as vbt
    except Exception as exc:
        t_full = best_of(lambda: ours(instruments))
        t_equal = best_of(lambda: ours(instruments, "equal_weight"))
        print(f"vectorbt unavailable ({type(exc).__name__}); run_portfolio_backtest {K} x {N} bars: "
              f"full {t_full * 1e3:.1f} ms, equal_weight {t_equal * 1e3:.1f} ms")
        return

    columns = [inst[10] for inst in instruments]
    close = pd.DataFrame(np.column_stack([inst[4] for inst in instruments]), columns=columns)
    entries = pd.DataFrame(np.column_stack([inst[6] for inst in instruments]), columns=columns)
    exits = pd.DataFrame(np.column_stack([inst[7] for inst in instruments]), columns=columns)
    sized = dict(size=equal_weight_sizes(entries.to_numpy().T, exits.to_numpy().T), size_type="percent")

    def reference(c=close, e=entries, x=exits, **kw):
        return vbt.Portfolio.from_signals(c, e, x, fees=FEES, init_cash=CAPITAL, cash_sharing=True,
                                          group_by=True, freq="1min", **kw)

    small = data(1000, 3)
    reference(*(pd.DataFrame(np.column_stack([inst[j] for inst in small])) for j in (4, 6, 7))).value()
    same = [check_same_run(ours(instruments), reference(), "full"),
            check_same_run(ours(instruments, "equal_weight"), reference(**sized), "equal_weight")]
    t_full, t_equal = best_of(lambda: ours(instruments)), best_of(lambda: ours(instruments, "equal_weight"))
    t_ref, t_ref_equal = best_of(reference), best_of(lambda: reference(**sized))
    print(f"vectorbt {vbt.__version__}: from_signals (cash_sharing=True) all cash {t_ref * 1e3:.1f} ms, "
          f"equal-weight sizes {t_ref_equal * 1e3:.1f} ms")
    print(f"run_portfolio_backtest {K} x {N} bars: full {t_full * 1e3:.1f} ms, speed-up {t_ref / t_full:.2f}x; "
          f"equal_weight {t_equal * 1e3:.1f} ms, speed-up {t_ref_equal / t_equal:.2f}x (goal >= {GOAL:g}x)")
    print(f"  same runs: {', '.join(same)} on the same bars, sizes and equity curves equal to 1e-9; "
          f"load average {os.getloadavg()[0]:.1f}")


if __name__ == "__main__":
    main()
