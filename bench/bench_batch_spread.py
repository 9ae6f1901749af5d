"""batch_spread_backtest over 64 items x 100,000 bars: the pool's workers against one worker.

One shared series of 100,000 one-minute timestamps; 64 spreads of two to four legs, each
leg a random-walk premium series, sparse random signals (about 1% of bars enter, 1%
exit), half of them with a loss limit or a profit target, and the NFO option cost
schedule. The pool is sized once per process, so each side runs in fresh interpreters:
one worker (RAYON_NUM_THREADS=1) and the pool's default worker count, four processes
each, taken in turn, best of five calls inside each and best over the processes (a
process can spend its whole life on a slow spell of a shared machine). The printed speed-up is the one-worker
time over the many-worker time, set against the number of workers (goal: at least 0.85 x
cores); a digest of every result shows that all runs gave the same results. NumPy's BLAS
threads are held to one so that their idle spinning takes no core from the pool; the
load average is printed because other work on the machine lowers the ratio.
"""

import os

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import hashlib  # noqa: E402
import sys  # noqa: E402

import numpy as np  # noqa: E402
from timing import best_of, child_bests, pool_workers  # noqa: E402

import tarnwick as tw  # noqa: E402

N = 100_000
ITEMS = 64
LEGS = [("CE", 100.0, 1, 50), ("PE", 100.0, 1, 50), ("CE", 110.0, -1, 50), ("PE", 90.0, -1, 50)]


def data(seed=11):
    rng = np.random.default_rng(seed)
    ts = np.arange(N, dtype=np.int64) * 60 * 10**9
    items = []
    for k in range(ITEMS):
        legs = LEGS[: 2 + k % 3]
        premiums = [np.abs(50.0 + np.cumsum(rng.normal(0.0, 0.5, N))) + 0.05 for _ in legs]
        kw = {}
        if k % 2:
            kw["max_loss" if k % 4 == 1 else "target_profit"] = 5_000.0
        items.append(tw.BatchSpreadItem(f"s{k}", premiums, legs, rng.random(N) < 0.01, rng.random(N) < 0.01, **kw))
    return ts, items


def digest(results):
    h = hashlib.sha256()
    for sid, r in results:
        h.update(sid.encode())
        for curve in (r.equity_curve(), r.returns(), r.drawdown_curve()):
            h.update(curve.tobytes())
        for t in r.trades():
            h.update(repr((t.id, t.entry_idx, t.exit_idx, t.entry_price, t.exit_price, t.pnl, t.fees,
                           t.fee_breakdown, t.exit_reason)).encode())
        h.update(repr(sorted(r.metrics.to_dict().items())).encode())
    return h.hexdigest()


def timed():
    """Best time of the batch on this process's pool, and a digest of its results."""
    ts, items = data()
    config = tw.BacktestConfig(fee_segment="NFO-OPT")
    run = lambda: tw.batch_spread_backtest(ts, np.ones(N), items, config)  # noqa: E731
    results = run()  # the pool starts on first use
    return best_of(run), digest(results)


def main():
    workers = pool_workers()
    here = os.path.dirname(os.path.abspath(__file__))
    child = [sys.executable, "-c", f"import sys; sys.path.insert(0, {here!r}); "
             "import bench_batch_spread as b; t, d = b.timed(); print(t, d)"]
    runs = child_bests(child, (1, workers))
    (t_one, d_one, _), (t_many, d_many, _) = runs[1], runs[workers]
    speedup = t_one / t_many
    print(f"batch_spread_backtest {ITEMS} items x {N} bars: 1 worker {t_one * 1e3:.0f} ms, {workers} workers "
          f"{t_many * 1e3:.0f} ms, speed-up {speedup:.2f}x ({speedup / workers:.2f} x workers, goal >= 0.85); "
          f"results {'identical' if len(d_one | d_many) == 1 else 'DIFFERENT'}; load average {os.getloadavg()[0]:.1f}")


if __name__ == "__main__":
    main()
