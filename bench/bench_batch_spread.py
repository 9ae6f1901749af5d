"""batch_spread_backtest over 64 items x 100,000 bars on 8 workers against the machine's ceiling.

One shared series of 100,000 one-minute timestamps; 64 spreads of two to four legs, each
leg a random-walk premium series, sparse random signals (about 1% of bars enter, 1%
exit), half of them with a loss limit or a profit target, and the NFO option cost
schedule. The ceiling is eight single-worker processes each running an eighth of the
items, started together after their set-up (see ceiling.py); the printed ratio is the
batch's wall time over theirs (goal: at most 1.1), and a digest of every item shows that
both sides gave the same results. NumPy's BLAS threads are held to one so that their
idle spinning takes no core from the pool; the load average is printed because other
work on the machine moves both sides.
"""

import os

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402
from ceiling import item_digests, measure  # noqa: E402

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


def prepare(lo, hi):
    ts, items = data()
    return ts, items[lo:hi], tw.BacktestConfig(fee_segment="NFO-OPT")


def run(state):
    ts, items, config = state
    return tw.batch_spread_backtest(ts, np.ones(N), items, config)


def digest(results):
    return item_digests(results, ("id", "entry_idx", "exit_idx", "entry_price", "exit_price", "pnl", "fees",
                                  "fee_breakdown", "exit_reason"))


def main():
    print(measure(prepare, run, digest, ITEMS).line(f"batch_spread_backtest {ITEMS} items x {N} bars"), flush=True)


if __name__ == "__main__":
    main()
