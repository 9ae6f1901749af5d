import math
import struct

import numpy as np
import pytest

import tarnwick as tw

NAN = math.nan
F = np.float64


def arr(values):
    return np.array(values, dtype=np.float64)


def walk(n, seed=11):
    rng = np.random.default_rng(seed)
    close = 100.0 + np.cumsum(rng.normal(0.0, 1.0, n))
    high = close + rng.uniform(0.1, 2.0, n)
    low = close - rng.uniform(0.1, 2.0, n)
    return high, low, close


def leading_nans(a):
    nans = np.isnan(a)
    return int(np.argmin(nans)) if not nans.all() else len(a)


# ---------------------------------------------------------------------------
# Face

FACES = [
    ("sma", "(data, period)", "Simple Moving Average."),
    ("ema", "(data, period)", "Exponential Moving Average."),
    ("rsi", "(data, period)", "Relative Strength Index."),
    ("macd", "(data, fast_period=12, slow_period=26, signal_period=9)", "MACD indicator."),
    ("stochastic", "(high, low, close, k_period=14, d_period=3)", "Stochastic oscillator."),
    ("atr", "(high, low, close, period)", "Average True Range."),
    ("bollinger_bands", "(data, period=20, std_dev=2.0)", "Bollinger Bands."),
    ("adx", "(high, low, close, period)", "Average Directional Index."),
    ("vwap", "(high, low, close, volume)", "Volume Weighted Average Price."),
    ("supertrend", "(high, low, close, period=10, multiplier=3.0)", "Supertrend indicator."),
    ("rolling_min", "(data, period)", "Rolling minimum (Lowest Low Value)."),
    ("rolling_max", "(data, period)", "Rolling maximum (Highest High Value)."),
]


@pytest.mark.parametrize("name, signature, doc", FACES)
def test_function_face(name, signature, doc):
    fn = getattr(tw, name)
    assert fn.__text_signature__ == signature
    assert fn.__doc__ == doc
    assert fn.__module__ == "tarnwick._tarnwick"
    assert fn.__name__ == name


def test_registration_order_ends_with_the_indicators():
    names = [n for n, _, _ in FACES]
    tick = [
        "compute_tick_entry_signals", "compute_tick_exit_signals", "tick_spread_pct", "buy_sell_imbalance_delta",
        "return_window", "realized_vol_rolling", "oi_position_pct", "tick_velocity",
    ]
    assert tw._tarnwick.__all__[-20:] == tick + names
    assert "Indicator" in tw._tarnwick.__all__


def test_binding_messages():
    with pytest.raises(TypeError, match=r"^sma\(\) takes 2 positional arguments but 3 were given$"):
        tw.sma(arr([1.0]), 1, 2)
    with pytest.raises(TypeError, match=r"^macd\(\) takes from 1 to 4 positional arguments but 5 were given$"):
        tw.macd(arr([1.0]), 1, 2, 3, 4)
    with pytest.raises(TypeError, match=r"^atr\(\) missing 1 required positional argument: 'period'$"):
        tw.atr(arr([1.0]), arr([1.0]), arr([1.0]))
    assert list(tw.sma(data=arr([1.0, 3.0]), period=2)[1:]) == [2.0]


# ---------------------------------------------------------------------------
# Values worked out by hand


def test_moving_averages():
    x = arr([1, 2, 3, 4, 5])
    # sma: (1+2+3)/3, (2+3+4)/3, (3+4+5)/3
    np.testing.assert_array_equal(tw.sma(x, 3), [NAN, NAN, 2.0, 3.0, 4.0])
    # ema: seed mean 2, alpha 0.5: 2*0.5 + 4*0.5 = 3, 3*0.5 + 5*0.5 = 4
    np.testing.assert_array_equal(tw.ema(x, 3), [NAN, NAN, 2.0, 3.0, 4.0])


def test_rsi():
    # moves +1 -1 +1 -1; seed over two: gain .5, loss .5 -> 50
    # next: gain .25+.5=.75, loss .25 -> 100 - 100/4 = 75; then gain .375, loss .625 -> 37.5
    np.testing.assert_array_equal(tw.rsi(arr([1, 2, 1, 2, 1]), 2), [NAN, NAN, 50.0, 75.0, 37.5])
    np.testing.assert_array_equal(tw.rsi(arr([1, 2, 3, 4, 5]), 2), [NAN, NAN, 100.0, 100.0, 100.0])
    np.testing.assert_array_equal(tw.rsi(np.full(6, 7.0), 3), [NAN] * 3 + [100.0] * 3)


def test_macd():
    # ema2 of 1..6 is i - 0.5 from index 1, ema3 is i - 1 from index 2: line 0.5 from index 2;
    # signal seeds on two line values (0.5) at index 3.
    line, signal, hist = tw.macd(arr([1, 2, 3, 4, 5, 6]), 2, 3, 2)
    np.testing.assert_array_equal(line, [NAN, NAN, 0.5, 0.5, 0.5, 0.5])
    np.testing.assert_array_equal(signal, [NAN, NAN, NAN, 0.5, 0.5, 0.5])
    np.testing.assert_array_equal(hist, [NAN, NAN, NAN, 0.0, 0.0, 0.0])


def test_stochastic():
    # windows of two: hh/ll (4,1) close 3 -> 2/3; (5,2) close 5 -> 1; (6,3) close 4 -> 1/3
    k, d = tw.stochastic(arr([3, 4, 5, 6]), arr([1, 2, 3, 4]), arr([2, 3, 5, 4]), 2, 2)
    np.testing.assert_array_equal(k, [NAN, 66.66666666666666, 100.0, 33.33333333333333])
    np.testing.assert_array_equal(d, [NAN, NAN, 83.33333333333333, 66.66666666666666])
    # equal highs and lows in a window: no range, 50
    k, _ = tw.stochastic(arr([2, 2, 2]), arr([2, 2, 2]), arr([2, 2, 2]), 2, 1)
    np.testing.assert_array_equal(k, [NAN, 50.0, 50.0])


def test_bollinger_bands():
    upper, middle, lower = tw.bollinger_bands(arr([1, 2, 3, 4, 5]), 3, 2.0)
    # population variance of 1,2,3 about 2 is 2/3; 3 + 2*sqrt(2/3)
    assert upper[2] == 3.632993161855452
    assert lower[2] == 2.0 - 2.0 * math.sqrt(2.0 / 3.0)
    np.testing.assert_array_equal(middle, [NAN, NAN, 2.0, 3.0, 4.0])
    flat = tw.bollinger_bands(np.full(5, 5.0), 3, 2.0)
    for band in flat:
        np.testing.assert_array_equal(band, [NAN, NAN, 5.0, 5.0, 5.0])
    nan_k = tw.bollinger_bands(arr([1, 2, 3]), 2, NAN)
    assert np.isnan(nan_k[0]).all() and list(nan_k[1][1:]) == [1.5, 2.5]


H = arr([10, 11, 12, 11, 12, 13])
L = arr([9, 10, 10, 9, 10, 11])
C = arr([9.5, 10.5, 11, 10, 11.5, 12.5])


def test_atr():
    # TR: 1, max(1, 1.5, .5) = 1.5, max(2, 1.5, .5) = 2, max(2, 0, 2) = 2
    # seed (1 + 1.5)/2 = 1.25, then 1.25*.5 + 2*.5 = 1.625, 1.625*.5 + 2*.5 = 1.8125
    np.testing.assert_array_equal(tw.atr(H[:4], L[:4], C[:4], 2), [NAN, 1.25, 1.625, 1.8125])
    np.testing.assert_array_equal(tw.atr(arr([10, 11]), arr([9, 10]), arr([9.5, 10.5]), 1), [1.0, 1.5])


def test_atr_ignores_a_missing_close():
    c = C.copy()
    c[3] = NAN
    # TR[4] falls back to high - low = 2: ATR(1) equals the true range itself
    out = tw.atr(H, L, c, 1)
    assert out[4] == 2.0 and not np.isnan(out).any()


def test_adx():
    # +DM: 1,1,0,1,1  -DM: 0,0,1,0,0  TR: 1.5,2,2,2,2 (from index 1)
    # S at 2: +2, -0, tr 3.5 -> DX 100; at 3: +1, -1, 3.75 -> DX 0; at 4: 1.5, .5, 3.875 -> 50;
    # at 5: 1.75, .25, 3.9375 -> 75. ADX seed (100 + 0)/2 = 50, then (50 + 50)/2, (50 + 75)/2
    np.testing.assert_array_equal(tw.adx(H, L, C, 2), [NAN, NAN, NAN, 50.0, 50.0, 62.5])


def test_adx_without_movement_is_zero():
    out = tw.adx(np.full(8, 5.0), np.full(8, 4.0), np.full(8, 4.5), 3)
    np.testing.assert_array_equal(out, [NAN] * 5 + [0.0] * 3)


def test_vwap():
    # typical prices 1 and 3: (1*1 + 3*3) / 4
    np.testing.assert_array_equal(tw.vwap(arr([2, 4]), arr([0, 2]), arr([1, 3]), arr([1, 3])), [1.0, 2.5])
    three = np.full(3, 3.0)
    np.testing.assert_array_equal(tw.vwap(three, three, three, arr([0, 0, 5])), [NAN, NAN, 3.0])


def test_supertrend():
    h, l, c = arr([10, 11, 12, 13]), arr([8, 9, 10, 11]), arr([9, 10, 11, 12])
    # ATR(1) = TR = 2 each bar; bands hl2 +- 2: upper 11,12,13,14, lower 7,8,9,10.
    # start: upper 11 >= close 9 -> down, value 11; then the upper band only tightens
    # while the previous close stays below it: min(12, 11) = 11; close 11 is not above 11;
    # next min(13, 11) = 11 and close 12 > 11 flips up, value the lower band max(10, 9) = 10
    value, direction = tw.supertrend(h, l, c, 1, 1.0)
    assert direction.dtype == np.int8
    np.testing.assert_array_equal(direction, [-1, -1, -1, 1])
    np.testing.assert_array_equal(value, [11.0, 11.0, 11.0, 10.0])
    value, direction = tw.supertrend(h, l, c, 4, 1.0)
    assert np.isnan(value).all() and (direction == 0).all()


def test_rolling_extremes():
    np.testing.assert_array_equal(tw.rolling_max(arr([1, NAN, 3, NAN, NAN]), 2), [NAN, 1.0, 3.0, 3.0, NAN])
    np.testing.assert_array_equal(tw.rolling_min(arr([4, 2, 3, 5, 1]), 3), [NAN, NAN, 2.0, 2.0, 1.0])
    inf = math.inf
    np.testing.assert_array_equal(tw.rolling_min(arr([inf, inf, 1.0]), 2), [NAN, NAN, 1.0])
    np.testing.assert_array_equal(tw.rolling_max(arr([-inf, -inf, 1.0]), 2), [NAN, NAN, 1.0])


@pytest.mark.parametrize("fn", [tw.rolling_min, tw.rolling_max])
@pytest.mark.parametrize("zeros", [(0.0, -0.0), (-0.0, 0.0)])
def test_rolling_extreme_ties_keep_the_latest(fn, zeros):
    out = fn(arr(zeros), 2)
    assert np.signbit(out[1]) == np.signbit(zeros[1])


# ---------------------------------------------------------------------------
# Warm-up layout, lengths, too little data

N = 60


def layouts():
    h, l, c = walk(N)
    v = np.full(N, 100.0)
    return [
        ("sma", lambda: [tw.sma(c, 7)], [6]),
        ("ema", lambda: [tw.ema(c, 7)], [6]),
        ("rsi", lambda: [tw.rsi(c, 7)], [7]),
        ("macd", lambda: list(tw.macd(c, 5, 9, 4)), [8, 11, 11]),
        ("stochastic", lambda: list(tw.stochastic(h, l, c, 6, 4)), [5, 8]),
        ("atr", lambda: [tw.atr(h, l, c, 7)], [6]),
        ("bollinger_bands", lambda: list(tw.bollinger_bands(c, 7, 2.0)), [6, 6, 6]),
        ("adx", lambda: [tw.adx(h, l, c, 7)], [13]),
        ("vwap", lambda: [tw.vwap(h, l, c, v)], [0]),
        ("supertrend", lambda: [tw.supertrend(h, l, c, 7, 3.0)[0]], [6]),
        ("rolling_min", lambda: [tw.rolling_min(c, 7)], [6]),
        ("rolling_max", lambda: [tw.rolling_max(c, 7)], [6]),
    ]


@pytest.mark.parametrize("name, call, lead", layouts(), ids=[x[0] for x in layouts()])
def test_warmup_is_default_nan_then_values(name, call, lead):
    for out, n_lead in zip(call(), lead):
        assert out.dtype == np.float64 and out.shape == (N,)
        assert leading_nans(out) == n_lead
        assert not np.isnan(out[n_lead:]).any()
        for x in out[:n_lead]:
            # the one quiet NaN: sign clear, only the top mantissa bit set
            assert struct.pack("<d", x) == struct.pack("<Q", 0x7FF8000000000000)


def test_supertrend_direction_layout():
    h, l, c = walk(N)
    _, direction = tw.supertrend(h, l, c, 7, 3.0)
    assert (direction[:6] == 0).all() and np.isin(direction[6:], [-1, 1]).all()


BIG = [2**63, 2**64 - 1]


@pytest.mark.parametrize("big", BIG)
def test_periods_too_large_for_the_data_give_all_nan(big):
    h, l, c = walk(20)
    results = [
        tw.sma(c, big), tw.ema(c, big), tw.rsi(c, big), tw.atr(h, l, c, big), tw.adx(h, l, c, big),
        tw.rolling_min(c, big), tw.rolling_max(c, big), tw.supertrend(h, l, c, big)[0],
        *tw.bollinger_bands(c, big), *tw.macd(c, 2, big), *tw.stochastic(h, l, c, big, 3),
    ]
    for out in results:
        assert out.shape == (20,) and np.isnan(out).all()
    # the second period alone overflowing a sum of periods still means "longer than the data"
    line, signal, hist = tw.macd(c, 2, 3, big)
    assert not np.isnan(line[2:]).any() and np.isnan(signal).all() and np.isnan(hist).all()
    k, d = tw.stochastic(h, l, c, 3, big)
    assert not np.isnan(k[2:]).any() and np.isnan(d).all()


def test_periods_at_the_edge_of_the_data():
    h, l, c = walk(10)
    assert leading_nans(tw.sma(c, 10)) == 9 and np.isnan(tw.sma(c, 11)).all()
    assert leading_nans(tw.rsi(c, 9)) == 9 and np.isnan(tw.rsi(c, 10)).all()
    assert leading_nans(tw.atr(h, l, c, 9)) == 8 and np.isnan(tw.atr(h, l, c, 10)).all()
    assert leading_nans(tw.adx(h, l, c, 5)) == 9 and np.isnan(tw.adx(h[:9], l[:9], c[:9], 5)).all()


def test_empty_input():
    e = arr([])
    for out in [tw.sma(e, 5), tw.ema(e, 5), tw.rsi(e, 5), tw.atr(e, e, e, 5), tw.adx(e, e, e, 5), tw.vwap(e, e, e, e),
                tw.rolling_min(e, 5), tw.rolling_max(e, 5), *tw.macd(e), *tw.stochastic(e, e, e),
                *tw.bollinger_bands(e), *tw.supertrend(e, e, e)]:
        assert out.shape == (0,)
    with pytest.raises(ValueError, match="SMA period must be > 0"):
        tw.sma(e, 0)


def test_nan_in_sma_poisons_the_rest():
    x = arr([1, 2, NAN, 4, 5, 6, 7])
    np.testing.assert_array_equal(tw.sma(x, 2), [NAN, 1.5] + [NAN] * 5)
    out = tw.rolling_max(x, 2)
    np.testing.assert_array_equal(out, [NAN, 2.0, 2.0, 4.0, 5.0, 6.0, 7.0])


def test_results_are_fresh_arrays():
    x = arr([1, 2, 3, 4])
    before = x.copy()
    a = tw.sma(x, 2)
    b = tw.sma(x, 2)
    assert a is not b and not np.shares_memory(a, b) and not np.shares_memory(a, x)
    assert a.flags.writeable and a.flags.c_contiguous
    a[1] = 99.0
    assert b[1] == 1.5
    np.testing.assert_array_equal(x, before)


def test_strided_input_is_read_in_index_order():
    x = np.arange(10, dtype=np.float64)
    np.testing.assert_array_equal(tw.sma(x[::2], 2), [NAN, 1.0, 3.0, 5.0, 7.0])


# ---------------------------------------------------------------------------
# Errors

ONE = arr([1.0, 2.0, 3.0])

PERIOD_ERRORS = [
    (lambda: tw.sma(ONE, 0), "Invalid parameter: SMA period must be > 0"),
    (lambda: tw.ema(ONE, 0), "Invalid parameter: EMA period must be > 0"),
    (lambda: tw.rsi(ONE, 0), "Invalid parameter: RSI period must be > 0"),
    (lambda: tw.macd(ONE, 2, 3, 0), "Invalid parameter: MACD periods must be > 0"),
    (lambda: tw.macd(ONE, 5, 3, 0), "Invalid parameter: MACD periods must be > 0"),
    (lambda: tw.macd(ONE, 12, 12), "Invalid parameter: MACD fast period must be < slow period"),
    (lambda: tw.stochastic(ONE, ONE, ONE, 0), "Invalid parameter: Stochastic periods must be > 0"),
    (lambda: tw.stochastic(ONE, ONE, ONE, 3, 0), "Invalid parameter: Stochastic periods must be > 0"),
    (lambda: tw.atr(ONE, ONE, ONE, 0), "Invalid parameter: ATR period must be > 0"),
    (lambda: tw.bollinger_bands(ONE, 0, -1.0), "Invalid parameter: Bollinger Bands period must be > 0"),
    (lambda: tw.bollinger_bands(ONE, 2, 0.0), "Invalid parameter: Bollinger Bands std_dev must be > 0"),
    (lambda: tw.adx(ONE, ONE, ONE, 0), "Invalid parameter: ADX period must be > 0"),
    (lambda: tw.supertrend(ONE, ONE, ONE, 0), "Invalid parameter: Supertrend period must be > 0"),
    (lambda: tw.rolling_min(ONE, 0), "Invalid parameter: period must be at least 1"),
    (lambda: tw.rolling_max(ONE, 0), "Invalid parameter: period must be at least 1"),
]


@pytest.mark.parametrize("call, message", PERIOD_ERRORS)
def test_parameter_errors(call, message):
    with pytest.raises(ValueError) as e:
        call()
    assert str(e.value) == message


TWO = arr([1.0, 2.0])
FOUR = arr([1.0, 2.0, 3.0, 4.0])

LENGTH_ERRORS = [
    # (call, expected, got): got is the length of the array that differs
    (lambda: tw.atr(FOUR, ONE, ONE, 0), 3, 4),
    (lambda: tw.atr(ONE, TWO, ONE, 2), 3, 2),
    (lambda: tw.adx(ONE, FOUR, ONE, 0), 3, 4),
    (lambda: tw.stochastic(TWO, ONE, ONE), 3, 2),
    (lambda: tw.stochastic(ONE, TWO, ONE), 3, 2),
    (lambda: tw.supertrend(ONE, ONE, FOUR), 4, 3),
    (lambda: tw.vwap(ONE, ONE, ONE, TWO), 3, 2),
    (lambda: tw.vwap(ONE, FOUR, ONE, ONE), 3, 4),
]


@pytest.mark.parametrize("call, expected, got", LENGTH_ERRORS)
def test_length_mismatch_names_the_differing_length(call, expected, got):
    # the length check precedes the period check
    with pytest.raises(ValueError) as e:
        call()
    assert str(e.value) == f"Data length mismatch: expected {expected}, got {got}"


@pytest.mark.parametrize(
    "bad, exc, pattern",
    [
        (np.arange(3), TypeError, r"^argument 'data': type mismatch:\n from=int64, to=float64$"),
        (np.ones(3, dtype=np.float32), TypeError, r"^argument 'data': "),
        ([1.0, 2.0, 3.0], TypeError, r"^argument 'data': 'list' object cannot be converted"),
        (np.ones((3, 1)), TypeError, r"^argument 'data': dimensionality mismatch"),
    ],
)
def test_array_arguments_are_checked(bad, exc, pattern):
    with pytest.raises(exc, match=pattern):
        tw.sma(bad, 2)


def test_period_conversion():
    with pytest.raises(OverflowError):
        tw.sma(ONE, -1)
    with pytest.raises(OverflowError):
        tw.ema(ONE, 2**64)
    with pytest.raises(TypeError, match="^argument 'period': "):
        tw.sma(ONE, 2.0)
    # a bad array is reported before a bad period
    with pytest.raises(TypeError, match="^argument 'close': "):
        tw.atr(ONE, ONE, np.arange(3), -1)
    with pytest.raises(TypeError, match="^argument 'std_dev': "):
        tw.bollinger_bands(ONE, 2, "wide")
    assert tw.sma(ONE, np.int64(2))[2] == 2.5


def test_arrays_are_read_after_the_scalars_converted():
    # A period whose __index__ rewrites the array: the values read are the ones the
    # array holds once every argument has converted.
    x = arr([1.0, 2.0, 3.0])

    class Period:
        def __index__(self):
            x[:] = [10.0, 20.0, 30.0]
            return 2

    np.testing.assert_array_equal(tw.sma(x, Period()), [NAN, 15.0, 25.0])
