"""Batch indicators against TA-Lib on 10**6 bars, timed in the same run.

Prints one line per indicator with both timings (best of several repeats, the two
sides alternating so that both see the same machine state) and the ratio ours /
baseline; a ratio at or below 1.0 means we are at least as fast. vwap and supertrend
have no TA-Lib function: vwap is timed against the same cumulative formula in NumPy,
supertrend against TA-Lib's ATR, which is only part of its work.
"""

import time

import numpy as np
import talib

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


def main():
    h, l, c, v = bars(N)
    cases = [
        ("sma", lambda: tw.sma(c, 20), "SMA", lambda: talib.SMA(c, 20)),
        ("ema", lambda: tw.ema(c, 20), "EMA", lambda: talib.EMA(c, 20)),
        ("rsi", lambda: tw.rsi(c, 14), "RSI", lambda: talib.RSI(c, 14)),
        ("macd", lambda: tw.macd(c, 12, 26, 9), "MACD", lambda: talib.MACD(c, 12, 26, 9)),
        (
            "stochastic",
            lambda: tw.stochastic(h, l, c, 14, 3),
            "STOCHF",
            lambda: talib.STOCHF(h, l, c, fastk_period=14, fastd_period=3, fastd_matype=0),
        ),
        ("atr", lambda: tw.atr(h, l, c, 14), "ATR", lambda: talib.ATR(h, l, c, 14)),
        (
            "bollinger_bands",
            lambda: tw.bollinger_bands(c, 20, 2.0),
            "BBANDS",
            lambda: talib.BBANDS(c, 20, 2.0, 2.0, matype=0),
        ),
        ("adx", lambda: tw.adx(h, l, c, 14), "ADX", lambda: talib.ADX(h, l, c, 14)),
        ("vwap", lambda: tw.vwap(h, l, c, v), "numpy cumsum", lambda: numpy_vwap(h, l, c, v)),
        ("supertrend", lambda: tw.supertrend(h, l, c, 10, 3.0), "ATR", lambda: talib.ATR(h, l, c, 10)),
        ("rolling_min", lambda: tw.rolling_min(c, 20), "MIN", lambda: talib.MIN(c, 20)),
        ("rolling_max", lambda: tw.rolling_max(c, 20), "MAX", lambda: talib.MAX(c, 20)),
    ]
    print(f"{N} bars, best of {REPEATS}")
    print(f"{'indicator':<16}{'ours ms':>10}{'baseline':>14}{'base ms':>10}{'ratio':>8}")
    for name, ours, base_name, base in cases:
        t_ours, t_base = best_pair(ours, base)
        print(f"{name:<16}{t_ours * 1e3:>10.2f}{base_name:>14}{t_base * 1e3:>10.2f}{t_ours / t_base:>8.2f}")


if __name__ == "__main__":
    main()
