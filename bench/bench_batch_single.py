"""batch_single_backtest over 64 items against a serial loop of run_single_backtest.

One shared series of 200,000 random-walk bars, 64 signal sets (about 1% entries and
exits each), flat fees. The printed speed-up is the serial time over the batch time,
set against the number of cores the pool may use (goal: at least 0.85 x cores). NumPy's
BLAS threads are held to one so that their idle spinning does not take cores from the
pool; the load average is printed because other work on the machine lowers the ratio.
"""

import os

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")


import numpy as np  # noqa: E402
from timing import best_of, cores, pool_workers  # noqa: E402

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


def main():
    bars, signals = data()
    config = tw.BacktestConfig(fees=0.001)
    items = [tw.BatchSingleItem(str(k), e, x) for k, (e, x) in enumerate(signals)]

    def serial():
        return [tw.run_single_backtest(*bars, e, x, config=config) for e, x in signals]

    def batch():
        return tw.batch_single_backtest(*bars, items, config)

    batch()  # the pool starts on first use
    t_serial = best_of(serial)
    t_batch = best_of(batch)
    workers = pool_workers()
    speedup = t_serial / t_batch
    print(f"batch_single_backtest {ITEMS} items x {N} bars: serial {t_serial * 1e3:.0f} ms, batch "
          f"{t_batch * 1e3:.0f} ms, speed-up {speedup:.2f}x on {workers} workers / {cores()} cores "
          f"({speedup / workers:.2f} x workers, goal >= 0.85); load average {os.getloadavg()[0]:.1f}")


if __name__ == "__main__":
    main()
