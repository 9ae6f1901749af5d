"""Our batch indicators against TA-Lib, an independent implementation.

Where the two seed their recursions differently (MACD, ATR, ADX) the values converge
after the seed has decayed; those three are also checked exactly against their
recursions written out here in plain Python.
"""

import math

import numpy as np
import pytest

import tarnwick as tw

talib = pytest.importorskip("talib")

N = 3000
PERIODS = [2, 5, 14, 30]


def bars(seed):
    rng = np.random.default_rng(seed)
    close = 100.0 * np.exp(np.cumsum(rng.normal(0.0, 0.01, N)))
    spread = close * rng.uniform(0.001, 0.02, N)
    high = close + spread * rng.uniform(0.0, 1.0, N)
    low = close - spread * rng.uniform(0.0, 1.0, N)
    # some flat stretches so zero moves and equal extremes occur
    close[100:110] = close[100]
    return high, low, close


@pytest.fixture(params=[17, 29], ids=lambda s: f"seed{s}")
def hlc(request):
    return bars(request.param)


def assert_same_nans(ours, theirs):
    np.testing.assert_array_equal(np.isnan(ours), np.isnan(theirs))


@pytest.mark.parametrize("period", PERIODS)
def test_bit_for_bit(hlc, period):
    _, _, c = hlc
    for ours, theirs in [
        (tw.sma(c, period), talib.SMA(c, period)),
        (tw.rolling_min(c, period), talib.MIN(c, period)),
        (tw.rolling_max(c, period), talib.MAX(c, period)),
    ]:
        np.testing.assert_array_equal(ours, theirs)


@pytest.mark.parametrize("period", PERIODS)
def test_ema_and_rsi(hlc, period):
    _, _, c = hlc
    ours, theirs = tw.ema(c, period), talib.EMA(c, period)
    assert_same_nans(ours, theirs)
    np.testing.assert_allclose(ours, theirs, rtol=1e-12)

    ours, theirs = tw.rsi(c, period), talib.RSI(c, period)
    assert_same_nans(ours, theirs)
    np.testing.assert_allclose(ours, theirs, rtol=1e-12)


def test_rsi_over_a_flat_start():
    _, _, c = bars(5)
    c[:12] = c[0]
    ours, theirs = tw.rsi(c, 5), talib.RSI(c, 5)
    # no move at all in the averages: 100 here, 0 there; the same values once prices move
    np.testing.assert_array_equal(ours[5:12], 100.0)
    np.testing.assert_array_equal(theirs[5:12], 0.0)
    np.testing.assert_allclose(ours[12:], theirs[12:], rtol=1e-12)


@pytest.mark.parametrize("k, d", [(14, 3), (5, 1), (3, 5)])
def test_stochastic(hlc, k, d):
    h, l, c = hlc
    ours_k, ours_d = tw.stochastic(h, l, c, k, d)
    fast_k, fast_d = talib.STOCHF(h, l, c, fastk_period=k, fastd_period=d, fastd_matype=0)
    start = k + d - 2
    assert np.isnan(ours_d[:start]).all() and not np.isnan(ours_d[start:]).any()
    np.testing.assert_allclose(ours_k[start:], fast_k[start:], rtol=1e-12)
    np.testing.assert_allclose(ours_d[start:], fast_d[start:], rtol=1e-12)


@pytest.mark.parametrize("period, width", [(20, 2.0), (5, 1.5)])
def test_bollinger_bands(hlc, period, width):
    _, _, c = hlc
    upper, middle, lower = tw.bollinger_bands(c, period, width)
    t_upper, t_middle, t_lower = talib.BBANDS(c, period, width, width, matype=0)
    np.testing.assert_array_equal(middle, t_middle)
    scale = np.nanmax(np.abs(c))
    np.testing.assert_allclose(upper, t_upper, rtol=0, atol=1e-9 * scale)
    np.testing.assert_allclose(lower, t_lower, rtol=0, atol=1e-9 * scale)


# ---------------------------------------------------------------------------
# Recursions written out


def ema_reference(x, period):
    out = [math.nan] * len(x)
    if period > len(x):
        return out
    seed = -0.0
    for v in x[:period]:
        seed += v
    out[period - 1] = seed / period
    alpha = 2.0 / (period + 1.0)
    for i in range(period, len(x)):
        out[i] = out[i - 1] * (1.0 - alpha) + x[i] * alpha
    return out


def macd_reference(x, fast, slow, signal):
    f, s = ema_reference(x, fast), ema_reference(x, slow)
    line = [math.nan] * len(x)
    for i in range(slow - 1, len(x)):
        line[i] = f[i] - s[i]
    sig = [math.nan] * len(x)
    s0 = slow + signal - 2
    total = 0.0
    for v in line[slow - 1 : s0 + 1]:
        total += v
    sig[s0] = total / signal
    alpha = 2.0 / (signal + 1.0)
    for i in range(s0 + 1, len(x)):
        sig[i] = sig[i - 1] * (1.0 - alpha) + line[i] * alpha
    hist = [a - b for a, b in zip(line, sig)]
    return line, sig, hist


def max_present(a, b):
    # a missing term is left out; missing only when both are
    if math.isnan(a):
        return b
    if math.isnan(b):
        return a
    return b if b > a else a


def true_range(h, l, c, i):
    if i == 0:
        return h[0] - l[0]
    return max_present(max_present(h[i] - l[i], abs(h[i] - c[i - 1])), abs(l[i] - c[i - 1]))


def atr_reference(h, l, c, period):
    out = [math.nan] * len(c)
    seed = -0.0
    for i in range(period):
        seed += true_range(h, l, c, i)
    out[period - 1] = seed / period
    k = 1.0 / period
    for i in range(period, len(c)):
        out[i] = out[i - 1] * (1.0 - k) + true_range(h, l, c, i) * k
    return out


def adx_reference(h, l, c, period):
    n = len(c)
    plus, minus, tr = [0.0] * n, [0.0] * n, [0.0] * n
    for i in range(1, n):
        up, down = h[i] - h[i - 1], l[i - 1] - l[i]
        plus[i] = up if up > 0 and up > down else 0.0
        minus[i] = down if down > up and down > 0 else 0.0
        tr[i] = true_range(h, l, c, i)
    sums = []
    for v in (plus, minus, tr):
        s = [0.0] * n
        acc = -0.0
        for i in range(1, period + 1):
            acc += v[i]
        s[period] = acc
        for i in range(period + 1, n):
            s[i] = (s[i - 1] - s[i - 1] / period) + v[i]
        sums.append(s)
    dx = [0.0] * n
    for i in range(period, n):
        sp, sm, st = sums[0][i], sums[1][i], sums[2][i]
        if st > 0:
            pdi, mdi = sp * 100.0 / st, sm * 100.0 / st
            if pdi + mdi > 0:
                dx[i] = abs(pdi - mdi) * 100.0 / (pdi + mdi)
    out = [math.nan] * n
    acc = -0.0
    for i in range(period, 2 * period):
        acc += dx[i]
    out[2 * period - 1] = acc / period
    for i in range(2 * period, n):
        out[i] = (out[i - 1] * (period - 1) + dx[i]) / period
    return out


def converged(ours, theirs, period):
    start = 30 * period
    np.testing.assert_allclose(ours[start:], theirs[start:], rtol=1e-4)


@pytest.mark.parametrize("fast, slow, signal", [(12, 26, 9), (5, 13, 4)])
def test_macd(hlc, fast, slow, signal):
    _, _, c = hlc
    ours = tw.macd(c, fast, slow, signal)
    for got, want in zip(ours, macd_reference(list(c), fast, slow, signal)):
        np.testing.assert_array_equal(got, want)
    theirs = talib.MACD(c, fast, slow, signal)
    for got, want in zip(ours, theirs):
        converged(got, want, slow)


@pytest.mark.parametrize("period", [5, 14, 30])
def test_atr(hlc, period):
    h, l, c = hlc
    ours = tw.atr(h, l, c, period)
    np.testing.assert_array_equal(ours, atr_reference(list(h), list(l), list(c), period))
    converged(ours, talib.ATR(h, l, c, period), period)


# Kernels take whole vectors of bars at a time and redo a stretch that holds a missing
# value; scattered missing or infinite prices, next to each other and far apart, must
# still give exactly the written-out recursions.
@pytest.mark.parametrize("bad", [math.nan, math.inf, -math.inf], ids=["nan", "inf", "-inf"])
def test_atr_and_macd_around_missing_or_infinite_prices(bad):
    h, l, c = bars(17)
    h[[300, 1001]] = bad
    l[[301, 1500, 2999]] = bad
    c[[1002, 2047]] = bad
    np.testing.assert_array_equal(tw.atr(h, l, c, 14), atr_reference(h.tolist(), l.tolist(), c.tolist(), 14))
    for got, want in zip(tw.macd(c, 12, 26, 9), macd_reference(c.tolist(), 12, 26, 9)):
        np.testing.assert_array_equal(got, want)


@pytest.mark.parametrize("period", [5, 14, 30])
def test_adx(hlc, period):
    h, l, c = hlc
    ours = tw.adx(h, l, c, period)
    np.testing.assert_array_equal(ours, adx_reference(list(h), list(l), list(c), period))
    converged(ours, talib.ADX(h, l, c, period), period)
