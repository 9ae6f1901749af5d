"""Batch indicators against TA-Lib on 10**6 bars, timed in the same run.

Prints one line per indicator with both timings (best of several repeats, the two
sides alternating so that both see the same machine state) and the ratio ours /
baseline; a ratio at or below 1.0 means we are at least as fast. vwap has no TA-Lib
function and is timed against the same cumulative formula in NumPy; supertrend has no
peer at all and is timed alone, without a ratio.

Before any timing, every pair's outputs must agree to 1e-9 (relative, or 1e-12 of the
series' largest value), or the bench stops: a ratio is only printed for the same work.
ATR, ADX and MACD seed their recursions otherwise than TA-Lib does, so those are
compared once the seeds have decayed, from thirty periods on; %K and %D from the first
bar where both exist.
"""

import time

import numpy as np
import talib
from timing import same_work

import tarnwick as tw

N = 1_000_000
REPEATS = 11


def bars(n, seed=7):
    rng = np.random.default_rng(seed)
    close = 100.0 * np.exp(np.cumsum(rng.normal(0.0, 0.01, n)))
    spread = close * rng.uniform(0.001, 0.02, n)
    high = close + spread * rng.uniform(0.0, 1.0, n)
    low = close - spread * rng.uniform(0.0, 1.0, n)
    volume = rng.uniform(1e3, 1e5, n)
    return high, low, close, volume


def best_pair(ours, base):
    ours()  # warm caches and first-use set-up
    base()
    t_ours, t_base = [], []
    for _ in range(REPEATS):
        for fn, times in ((ours, t_ours), (base, t_base)):
            t0 = time.perf_counter()
            fn()
            times.append(time.perf_counter() - t0)
    return min(t_ours), min(t_base)


def numpy_vwap(h, l, c, v):
    tp = ((h + l) + c) / 3.0
    cum_v = np.cumsum(v)
    return np.where(cum_v > 0, np.cumsum(tp * v) / cum_v, np.nan)


def check_same_values(name, ours, base, start):
    """Stops the bench unless our outputs equal the baseline's from bar `start` on."""
    ours = ours if isinstance(ours, tuple) else (ours,)
    base = base if isinstance(base, tuple) else (base,)
    same_work(f"{name}: output counts", len(ours), len(base))
    for k, (a, b) in enumerate(zip(ours, base)):
        a, b = np.asarray(a, dtype=np.float64)[start:], np.asarray(b, dtype=np.float64)[start:]
        same_work(f"{name} output {k} from bar {start}", a, b, rtol=1e-9, atol=1e-12 * np.nanmax(np.abs(b)))


def main():
    h, l, c, v = bars(N)
    # name, ours, baseline name, baseline, first bar compared
    cases = [
        ("sma", lambda: tw.sma(c, 20), "SMA", lambda: talib.SMA(c, 20), 0),
        ("ema", lambda: tw.ema(c, 20), "EMA", lambda: talib.EMA(c, 20), 0),
        ("rsi", lambda: tw.rsi(c, 14), "RSI", lambda: talib.RSI(c, 14), 0),
        ("macd", lambda: tw.macd(c, 12, 26, 9), "MACD", lambda: talib.MACD(c, 12, 26, 9), 30 * 26),
        (
            "stochastic",
            lambda: tw.stochastic(h, l, c, 14, 3),
            "STOCHF",
            lambda: talib.STOCHF(h, l, c, fastk_period=14, fastd_period=3, fastd_matype=0),
            14 + 3 - 2,
        ),
        ("atr", lambda: tw.atr(h, l, c, 14), "ATR", lambda: talib.ATR(h, l, c, 14), 30 * 14),
        (
            "bollinger_bands",
            lambda: tw.bollinger_bands(c, 20, 2.0),
            "BBANDS",
            lambda: talib.BBANDS(c, 20, 2.0, 2.0, matype=0),
            0,
        ),
        ("adx", lambda: tw.adx(h, l, c, 14), "ADX", lambda: talib.ADX(h, l, c, 14), 30 * 14),
        ("vwap", lambda: tw.vwap(h, l, c, v), "numpy cumsum", lambda: numpy_vwap(h, l, c, v), 0),
        ("rolling_min", lambda: tw.rolling_min(c, 20), "MIN", lambda: talib.MIN(c, 20), 0),
        ("rolling_max", lambda: tw.rolling_max(c, 20), "MAX", lambda: talib.MAX(c, 20), 0),
    ]
    for name, ours, _, base, start in cases:
        check_same_values(name, ours(), base(), start)
    print(f"{N} bars, best of {REPEATS}; every pair's values equal to 1e-9")
    print(f"{'indicator':<16}{'ours ms':>10}{'baseline':>14}{'base ms':>10}{'ratio':>8}")
    for name, ours, base_name, base, _ in cases:
        t_ours, t_base = best_pair(ours, base)
        print(f"{name:<16}{t_ours * 1e3:>10.2f}{base_name:>14}{t_base * 1e3:>10.2f}{t_ours / t_base:>8.2f}")
    t_super = best_pair(lambda: tw.supertrend(h, l, c, 10, 3.0), lambda: None)[0]
    print(f"{'supertrend':<16}{t_super * 1e3:>10.2f}{'(no peer)':>14}")


if __name__ == "__main__":
    main()
