import math

import numpy as np
import pytest

import tarnwick as tw

NAN = math.nan


def arr(values):
    return np.array(values, dtype=np.float64)


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
    assert fn.__doc__.split("\n\n")[0] == doc  # what a gap does follows; the gap table checks it
    assert fn.__name__ == name


def test_binding_messages():
    with pytest.raises(TypeError, match=r"^sma\(\) takes 2 positional arguments but 3 were given$"):
        tw.sma(arr([1.0]), 1, 2)
    with pytest.raises(TypeError, match=r"^macd\(\) takes from 1 to 4 positional arguments but 5 were given$"):
        tw.macd(arr([1.0]), 1, 2, 3, 4)
    with pytest.raises(TypeError, match=r"^atr\(\) missing 1 required positional argument: 'period'$"):
        tw.atr(arr([1.0]), arr([1.0]), arr([1.0]))
    assert list(tw.sma(data=arr([1.0, 3.0]), period=2)[1:]) == [2.0]


# ---------------------------------------------------------------------------
# Values worked out by hand (the other indicators are checked against TA-Lib)


def test_vwap_argument_order():
    # typical prices 1 and 3: (1*1 + 3*3) / 4; the volume rules are the engine tests'
    np.testing.assert_array_equal(tw.vwap(arr([2, 4]), arr([0, 2]), arr([1, 3]), arr([1, 3])), [1.0, 2.5])


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


# ---------------------------------------------------------------------------
# Arrays in and out


# Large results get storage that earlier, dropped results gave back.
@pytest.mark.parametrize("n", [4, 300_000], ids=["small", "large"])
def test_results_are_fresh_arrays(n):
    x = np.arange(1.0, n + 1.0)
    before = x.copy()
    a = tw.sma(x, 2)
    b = tw.sma(x, 2)
    assert a is not b and not np.shares_memory(a, b) and not np.shares_memory(a, x)
    assert a.flags.writeable and a.flags.c_contiguous
    a[1] = 99.0
    assert b[1] == 1.5
    np.testing.assert_array_equal(x, before)
    # whatever a dropped result left behind is overwritten in full: the mean of three
    # consecutive integers is the middle one, exactly
    del a, b
    c = tw.sma(x, 3)
    assert np.isnan(c[:2]).all()
    np.testing.assert_array_equal(c[2:], x[1:-1])
    del c
    assert np.isnan(tw.sma(x, n + 1)).all()
    # The same for the other kernels that fill their arrays in place. An EMA of ones with
    # weight 1/2 stays 1 exactly; the window (k-1, k, k+1) has squared deviations summing
    # to 2, so both bands sit sqrt(2/3) x 2 from the middle one.
    e = tw.ema(np.ones(n), 3)
    assert np.isnan(e[:2]).all() and (e[2:] == 1.0).all()
    upper, middle, lower = tw.bollinger_bands(x, 3, 2.0)
    width = np.sqrt(2.0 / 3.0) * 2.0
    assert np.isnan(upper[:2]).all() and np.isnan(lower[:2]).all()
    np.testing.assert_array_equal(middle[2:], x[1:-1])
    np.testing.assert_array_equal(upper[2:], x[1:-1] + width)
    np.testing.assert_array_equal(lower[2:], x[1:-1] - width)
    # A steady climb of one a bar with a range of two: +DM 1, -DM 0 and TR 2 on every bar,
    # so +DI is 50, -DI 0, and every DX and ADX value is 100.
    a = tw.adx(x + 1.0, x - 1.0, x, 14)
    assert np.isnan(a[:27]).all() and (a[27:] == 100.0).all()
    # Nothing is ever lost on a climb: the RSI is 100 from the first full period on.
    r = tw.rsi(x, 14)
    assert np.isnan(r[:14]).all() and (r[14:] == 100.0).all()


def test_strided_input_is_read_in_index_order():
    x = np.arange(10, dtype=np.float64)
    np.testing.assert_array_equal(tw.sma(x[::2], 2), [NAN, 1.0, 3.0, 5.0, 7.0])


# ---------------------------------------------------------------------------
# Errors

ONE = arr([1.0, 2.0, 3.0])

PERIOD_ERRORS = [
    (lambda: tw.sma(ONE, 0), "Invalid parameter: SMA period must be > 0"),
    (lambda: tw.macd(ONE, 12, 12), "Invalid parameter: MACD fast period must be < slow period"),
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
    (lambda: tw.stochastic(ONE, TWO, ONE), 3, 2),
    (lambda: tw.supertrend(ONE, ONE, FOUR), 4, 3),
]


@pytest.mark.parametrize("call, expected, got", LENGTH_ERRORS)
def test_length_mismatch_names_the_differing_length(call, expected, got):
    # the length check precedes the period check
    with pytest.raises(ValueError) as e:
        call()
    assert str(e.value) == f"Data length mismatch: expected {expected}, got {got}"


def test_period_conversion():
    # a bad array is reported before a bad period
    with pytest.raises(TypeError, match="^argument 'close': "):
        tw.atr(ONE, ONE, np.arange(3), -1)
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


@pytest.mark.parametrize("n, period", [(5000, 20), (37, 5), (20, 20), (400, 1)])
def test_bollinger_middle_is_the_sma_bit_for_bit(n, period):
    # Long series exercise the vectorised window sums, short ones the scalar tail.
    rng = np.random.default_rng(n + period)
    x = 100.0 + np.cumsum(rng.normal(size=n))
    x[n // 3] = np.nan
    upper, middle, lower = tw.bollinger_bands(x, period, 2.0)
    np.testing.assert_array_equal(middle, tw.sma(x, period))
    finite = np.isfinite(middle)
    assert np.all(upper[finite] >= middle[finite]) and np.all(lower[finite] <= middle[finite])
    # Each band is the middle plus/minus k population deviations of its own window.
    for i in np.flatnonzero(finite)[:: max(1, n // 50)]:
        w = x[i - period + 1 : i + 1]
        assert upper[i] - middle[i] == pytest.approx(2.0 * w.std(), rel=1e-9, abs=1e-12)


# ---------------------------------------------------------------------------
# A missing bar: every price of bar GAP is NaN (so is its volume)

GAP, BARS, P = 40, 80, 5
_rng = np.random.default_rng(4)
_CLOSE = 100.0 + np.cumsum(_rng.normal(0.0, 1.0, BARS))
_HIGH, _LOW = _CLOSE + _rng.uniform(0.1, 1.0, BARS), _CLOSE - _rng.uniform(0.1, 1.0, BARS)
_VOLUME = _rng.uniform(1.0, 10.0, BARS)


def _bars(gap):
    cols = [x.copy() for x in (_HIGH, _LOW, _CLOSE, _VOLUME)]
    if gap:
        for x in cols:
            x[GAP] = NAN
    return cols


def _outputs(call, gap):
    h, lo, c, v = _bars(gap)
    out = call(h, lo, c, v)
    return [np.asarray(x, dtype=np.float64) for x in (out if isinstance(out, tuple) else (out,))]


def _adx_decay(before):
    """Every directional index after the gap counts as 0: each value is the last one times
    (P - 1), over P, as the Wilder average computes it."""
    out, v = [], before
    for _ in range(GAP, BARS):
        v = (v * (P - 1) + 0.0) / P
        out.append(v)
    return out


# (name, call, spoiled: whether the gap spoils the rest of the series (the docstring then
# asks for gaps to be filled or cut), check(gapless outputs, outputs with the gap)).
def _nan_from_the_gap_on(clean, gappy):
    for a, b in zip(clean, gappy):
        np.testing.assert_array_equal(b[:GAP], a[:GAP])
        assert np.isnan(b[GAP:]).all()


def _nan_at(*places):
    def check(clean, gappy):
        for (a, b), where in zip(zip(clean, gappy), places):
            nan = np.isnan(b) & ~np.isnan(a)
            assert list(np.flatnonzero(nan)) == list(where)
            assert not np.isnan(b[-(BARS - GAP - P - 2):]).any()
    return check


def _adx_check(clean, gappy):
    (a,), (b,) = clean, gappy
    np.testing.assert_array_equal(b[:GAP], a[:GAP])
    np.testing.assert_array_equal(b[GAP:], _adx_decay(a[GAP - 1]))


def _supertrend_check(clean, gappy):
    _nan_from_the_gap_on(clean[:1], gappy[:1])
    direction = gappy[1]
    assert (direction[GAP:] == direction[GAP - 1]).all()  # the sign it had before the gap


GAP_CASES = [
    ("sma", lambda h, lo, c, v: tw.sma(c, P), True, _nan_from_the_gap_on),
    ("ema", lambda h, lo, c, v: tw.ema(c, P), True, _nan_from_the_gap_on),
    ("rsi", lambda h, lo, c, v: tw.rsi(c, P), True, _nan_from_the_gap_on),
    ("macd", lambda h, lo, c, v: tw.macd(c, 3, 6, 4), True, _nan_from_the_gap_on),
    ("bollinger_bands", lambda h, lo, c, v: tw.bollinger_bands(c, P, 2.0), True, _nan_from_the_gap_on),
    ("vwap", lambda h, lo, c, v: tw.vwap(h, lo, c, v), True, _nan_from_the_gap_on),
    ("atr", lambda h, lo, c, v: tw.atr(h, lo, c, P), True, _nan_from_the_gap_on),
    ("supertrend", lambda h, lo, c, v: tw.supertrend(h, lo, c, P, 3.0), True, _supertrend_check),
    ("adx", lambda h, lo, c, v: tw.adx(h, lo, c, P), True, _adx_check),
    # %K on the gap's bar only, %D on the three bars whose mean takes that %K in.
    ("stochastic", lambda h, lo, c, v: tw.stochastic(h, lo, c, P, 3), False,
     _nan_at([GAP], [GAP, GAP + 1, GAP + 2])),
    ("rolling_min", lambda h, lo, c, v: tw.rolling_min(c, P), False, _nan_at([])),
    ("rolling_max", lambda h, lo, c, v: tw.rolling_max(c, P), False, _nan_at([])),
]


@pytest.mark.parametrize("name, call, spoiled, check", GAP_CASES, ids=[c[0] for c in GAP_CASES])
def test_a_missing_bar(name, call, spoiled, check):
    check(_outputs(call, False), _outputs(call, True))
    assert ("Fill or cut gaps before the call." in " ".join(getattr(tw, name).__doc__.split())) == spoiled


def test_every_batch_indicator_has_a_gap_case():
    assert sorted(c[0] for c in GAP_CASES) == sorted(name for name, _, _ in FACES)


@pytest.mark.parametrize("fn", [tw.rolling_min, tw.rolling_max])
def test_a_window_of_nan_only_gives_nan(fn):
    x = arr([1.0, NAN, NAN, NAN, 5.0])
    np.testing.assert_array_equal(fn(x, 3), [NAN, NAN, 1.0, NAN, 5.0])
