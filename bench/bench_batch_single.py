"""batch_single_backtest on 8 workers against the machine's own ceiling, at two sizes.

One shared series of 200,000 random-walk bars with 64 signal sets, and one of 10,000 bars
(about forty years of daily bars, whose curves are small enough for the C library to hand
their memory back to the system between runs unless the engine keeps it) with 512 (about 1% entries and
exits each), flat fees. The ceiling is eight single-worker processes each running an
eighth of the items, started together after their set-up (see ceiling.py); the printed
ratio is the batch's wall time over theirs (goal: at most 1.1). NumPy's BLAS threads are
held to one so that their idle spinning does not take cores from the pool; the load
average is printed because other work on the machine moves both sides.
"""

import os

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402
from ceiling import item_digests, measure  # noqa: E402

import tarnwick as tw  # noqa: E402

# (bars, items); a timing process is a fresh interpreter, told its size through these.
SIZES = ((200_000, 64), (10_000, 512))
BARS, ITEMS = "TARNWICK_BENCH_BARS", "TARNWICK_BENCH_ITEMS"


def data(seed=3):
    n, items = int(os.environ.get(BARS, SIZES[0][0])), int(os.environ.get(ITEMS, SIZES[0][1]))
    rng = np.random.default_rng(seed)
    close = 100.0 * np.cumprod(1.0 + rng.normal(0.0, 0.01, n))
    open_ = close * (1.0 + rng.normal(0.0, 0.002, n))
    bars = (np.arange(n, dtype=np.int64) * 60 * 10**9, open_, np.maximum(open_, close) * 1.003,
            np.minimum(open_, close) * 0.997, close, np.full(n, 1e4))
    signals = [(rng.random(n) < 0.01, rng.random(n) < 0.01) for _ in range(items)]
    return bars, signals


def prepare(lo, hi):
    bars, signals = data()
    items = [tw.BatchSingleItem(str(k), e, x) for k, (e, x) in enumerate(signals)][lo:hi]
    return bars, items, tw.BacktestConfig(fees=0.001)


def run(state):
    bars, items, config = state
    return tw.batch_single_backtest(*bars, items, config)


def digest(results):
    return item_digests(results, ("entry_idx", "exit_idx", "entry_price", "exit_price", "pnl", "fees"))


def main():
    for n, items in SIZES:
        os.environ[BARS], os.environ[ITEMS] = str(n), str(items)
        print(measure(prepare, run, digest, items).line(f"batch_single_backtest {items} items x {n} bars"), flush=True)


if __name__ == "__main__":
    main()
