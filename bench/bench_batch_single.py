"""batch_single_backtest over 64 items on 8 workers against the machine's own ceiling.

One shared series of 200,000 random-walk bars, 64 signal sets (about 1% entries and
exits each), flat fees. The ceiling is eight single-worker processes each running an
eighth of the items, started together after their set-up (see ceiling.py); the printed
ratio is the batch's wall time over theirs (goal: at most 1.1). NumPy's BLAS threads are
held to one so that their idle spinning does not take cores from the pool; the load
average is printed because other work on the machine moves both sides.
"""

import os

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import hashlib  # noqa: E402

import numpy as np  # noqa: E402
from ceiling import measure  # noqa: E402

import tarnwick as tw  # noqa: E402

N = 200_000
ITEMS = 64


def data(seed=3):
    rng = np.random.default_rng(seed)
    close = 100.0 * np.cumprod(1.0 + rng.normal(0.0, 0.01, N))
    open_ = close * (1.0 + rng.normal(0.0, 0.002, N))
    bars = (np.arange(N, dtype=np.int64) * 60 * 10**9, open_, np.maximum(open_, close) * 1.003,
            np.minimum(open_, close) * 0.997, close, np.full(N, 1e4))
    signals = [(rng.random(N) < 0.01, rng.random(N) < 0.01) for _ in range(ITEMS)]
    return bars, signals


def prepare(lo, hi):
    bars, signals = data()
    items = [tw.BatchSingleItem(str(k), e, x) for k, (e, x) in enumerate(signals)][lo:hi]
    return bars, items, tw.BacktestConfig(fees=0.001)


def run(state):
    bars, items, config = state
    return tw.batch_single_backtest(*bars, items, config)


def digest(results):
    out = []
    for item_id, r in results:
        h = hashlib.sha256(item_id.encode())
        for curve in (r.equity_curve(), r.returns(), r.drawdown_curve()):
            h.update(curve.tobytes())
        for t in r.trades():
            h.update(repr((t.entry_idx, t.exit_idx, t.entry_price, t.exit_price, t.pnl, t.fees)).encode())
        h.update(repr(sorted(r.metrics.to_dict().items())).encode())
        out.append(h.hexdigest())
    return out


def main():
    print(measure(prepare, run, digest, ITEMS).line(f"batch_single_backtest {ITEMS} items x {N} bars"), flush=True)


if __name__ == "__main__":
    main()
