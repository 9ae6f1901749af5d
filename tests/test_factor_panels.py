"""Cross-sectional factor panels: winsorize, z-score, rank, momentum, composite."""

from decimal import Decimal, localcontext
from fractions import Fraction

import numpy as np
import pytest
from scipy import stats

from tarnwick import _tarnwick as tw

NAN = float("nan")
INF = float("inf")


def rows_with_nans(seed, shape=(12, 9), nan_frac=0.2, ties=False):
    rng = np.random.default_rng(seed)
    values = rng.normal(size=shape)
    if ties:
        values = np.round(values * 2) / 2
    values[rng.random(shape) < nan_frac] = NAN
    return values


# ---------------------------------------------------------------------------
# winsorize_panel


@pytest.mark.parametrize("row, pct, expected", [
    # n = 5, k = floor(5 * 0.2) = 1: ends pulled to the 2nd smallest / largest
    ([5.0, 1.0, 3.0, 2.0, 4.0], 0.2, [4.0, 2.0, 3.0, 2.0, 4.0]),
    ([5.0, 1.0, 3.0, 2.0, 4.0], 0.0, [5.0, 1.0, 3.0, 2.0, 4.0]),
    # odd n with k = (n - 1) / 2: everything becomes the median
    ([5.0, 1.0, 3.0], 0.4, [3.0, 3.0, 3.0]),
    ([NAN, 7.0, NAN], 0.3, [NAN, 7.0, NAN]),
    ([10.0, NAN, -10.0, 0.0, 1.0], 0.25, [1.0, NAN, 0.0, 0.0, 1.0]),
])
def test_winsorize_hand_cases(row, pct, expected):
    got = tw.winsorize_panel(np.array([row]), pct)
    np.testing.assert_array_equal(got, np.array([expected]))


def test_winsorize_agrees_with_scipy_on_rows_without_nans():
    # scipy's limits cut floor(n * pct) values from each end, the same k.
    values = np.random.default_rng(4).normal(size=(6, 20))
    got = tw.winsorize_panel(values, 0.1)
    for r in range(values.shape[0]):
        expected = np.asarray(stats.mstats.winsorize(values[r], limits=(0.1, 0.1)))
        np.testing.assert_array_equal(got[r], expected)


# ---------------------------------------------------------------------------
# zscore_panel and rank_panel


@pytest.mark.parametrize("fn, min_names, seed, ties, reference, rtol, atol", [
    (tw.zscore_panel, 3, 2, False, lambda x: stats.zscore(x, ddof=0), 1e-12, 1e-12),
    (tw.rank_panel, 4, 3, True, lambda x: (stats.rankdata(x, method="average") - 1) / (len(x) - 1), 0, 1e-15),
])
def test_rows_match_scipy(fn, min_names, seed, ties, reference, rtol, atol):
    # Rows with fewer than min_names finite values are all NaN.
    values = rows_with_nans(seed, ties=ties)
    got = fn(values, min_names)
    for r, row in enumerate(values):
        finite = np.isfinite(row)
        expected = np.full(row.shape, NAN)
        if finite.sum() >= min_names:
            expected[finite] = reference(row[finite])
        np.testing.assert_allclose(got[r], expected, rtol=rtol, atol=atol)


@pytest.mark.parametrize("row", [[1e300, -1e300, 1e300], [1e308, 5e307, -1e308, NAN], [-1e-170, 4e-171, NAN, 3e-170]])
def test_zscore_of_rows_whose_sums_leave_the_double_range(row):
    # scipy on the raw row overflows (or underflows) to zeros; on the row divided by its
    # largest magnitude it gives the true z-scores.
    row = np.array(row)
    finite = np.isfinite(row)
    expected = np.full(row.shape, NAN)
    expected[finite] = stats.zscore(row[finite] / np.abs(row[finite]).max(), ddof=0)
    np.testing.assert_allclose(tw.zscore_panel(np.array([row]), 2)[0], expected, rtol=1e-15, atol=0)


def test_zscore_constant_and_thin_rows_are_nan():
    got = tw.zscore_panel(np.array([[3.0, 3.0, 3.0, NAN], [1.0, NAN, NAN, NAN]]), 2)
    assert np.isnan(got).all()


def test_zscore_random_equal_rows_are_nan_and_rows_with_spread_are_not():
    # A row's mean rounds one ulp off its value for about half of all values (0.1 x 3 among
    # them); equal values still have no spread to score against.
    rng = np.random.default_rng(12)
    values = np.repeat(rng.normal(size=(300, 1)) * 10.0 ** rng.integers(-5, 6, size=(300, 1)), 7, axis=1)
    assert np.isnan(tw.zscore_panel(values, 2)).all()
    # [1, 2, 3, 4]: mean 2.5, population variance 1.25.
    np.testing.assert_allclose(tw.zscore_panel(np.array([[1.0, 2.0, 3.0, 4.0]]), 2),
                               [[-1.5 / 1.25**0.5, -0.5 / 1.25**0.5, 0.5 / 1.25**0.5, 1.5 / 1.25**0.5]], rtol=1e-15)


def exact_zscores(row):
    """The z-scores of a row's finite cells from its exact population mean and variance (as
    fractions), the square root taken to 50 digits; NaN where the row is unscored."""
    out = np.full(len(row), NAN)
    cells = [(i, Fraction(float(x))) for i, x in enumerate(row) if np.isfinite(x)]
    if len(cells) < 2:
        return out
    mean = sum((x for _, x in cells), Fraction(0)) / len(cells)
    variance = sum(((x - mean) ** 2 for _, x in cells), Fraction(0)) / len(cells)
    if variance == 0:
        return out
    with localcontext() as ctx:
        ctx.prec = 50
        sd = (Decimal(variance.numerator) / Decimal(variance.denominator)).sqrt()
        for i, x in cells:
            d = x - mean
            out[i] = float(Decimal(d.numerator) / Decimal(d.denominator) / sd)
    return out


def near_constant_rows(seed, count=3000, width=12):
    """Rows whose cells lie within 3 ulps of one value, at every magnitude from the subnormals
    to the top of the range (half of them between 1e-20 and 1e20), some cells missing and
    every fiftieth row's cells all equal."""
    rng = np.random.default_rng(seed)
    exponents = np.where(rng.random(count) < 0.5, rng.integers(-66, 67, count), rng.integers(-1074, 1024, count))
    base = np.ldexp(rng.uniform(1.0, 2.0, count) * rng.choice([-1.0, 1.0], count), exponents)
    steps = rng.integers(-3, 4, (count, width))
    steps[::50] = 0  # equal cells: no spread to score
    rows = np.repeat(base[:, None], width, axis=1)
    for k in range(3):
        up, down = steps > k, steps < -k
        rows[up] = np.nextafter(rows[up], INF)
        rows[down] = np.nextafter(rows[down], -INF)
    rows[rng.random((count, width)) < 0.3] = NAN
    return rows


def ordinary_rows(seed, count, spread_ratio):
    """Normal rows whose mean lies up to `spread_ratio` spreads from zero, at scales 1e-8 to
    1e8, a tenth of the cells missing."""
    rng = np.random.default_rng(seed)
    loc = rng.uniform(-spread_ratio, spread_ratio, (count, 1))
    rows = (rng.normal(size=(count, 20)) + loc) * 10.0 ** rng.integers(-8, 9, (count, 1))
    rows[rng.random(rows.shape) < 0.1] = NAN
    return rows


@pytest.mark.parametrize("values, atol", [
    # Means rounded by as much as the cells differ; the equal rows stay unscored.
    (near_constant_rows(29), 1e-12),
    (ordinary_rows(30, 400, 10.0), 1e-14),
    # Means thousands of spreads from zero, as prices a day apart are.
    (ordinary_rows(31, 400, 5000.0), 1e-14),
], ids=["near_constant", "centred", "offset"])
def test_zscores_match_exact_arithmetic(values, atol):
    got = tw.zscore_panel(values, 2)
    for r, row in enumerate(values):
        expected = exact_zscores(row)
        np.testing.assert_array_equal(np.isnan(got[r]), np.isnan(expected), err_msg=f"row {r}: {row.tolist()}")
        np.testing.assert_allclose(got[r], expected, rtol=0, atol=atol, err_msg=f"row {r}: {row.tolist()}")


@pytest.mark.parametrize("row, expected", [
    ([3.0, 1.0, NAN, 2.0], [1.0, 0.0, NAN, 0.5]),
    ([1.0, 1.0], [0.5, 0.5]),
    # ties at sorted positions 1..2 share (1 + 2) / 2 / 3 = 0.5
    ([0.0, 5.0, -0.0, -1.0], [0.5, 1.0, 0.5, 0.0]),
    ([4.0, NAN, NAN, NAN], [NAN, NAN, NAN, NAN]),
])
def test_rank_hand_cases(row, expected):
    np.testing.assert_array_equal(tw.rank_panel(np.array([row]), 2), np.array([expected]))


@pytest.mark.parametrize("fn", [tw.zscore_panel, tw.rank_panel])
@pytest.mark.parametrize("shape", [(0, 3), (3, 0), (0, 0)])
def test_empty_panels_pass_through(fn, shape):
    got = fn(np.zeros(shape), 2)
    assert got.shape == shape and got.dtype == np.float64


@pytest.mark.parametrize("fn, arg", [(tw.winsorize_panel, 0.1), (tw.zscore_panel, 2), (tw.rank_panel, 2)])
def test_first_infinite_cell_is_reported_before_parameters(fn, arg):
    values = np.array([[1.0, NAN, 2.0], [3.0, -INF, INF]])
    with pytest.raises(ValueError, match=r"^non-finite value at row 1, col 1$"):
        fn(values, arg)
    bad_param = {tw.winsorize_panel: 0.7}.get(fn, 0)
    with pytest.raises(ValueError, match="^non-finite"):
        fn(values, bad_param)


# ---------------------------------------------------------------------------
# momentum_panel


@pytest.mark.parametrize("prices, lookback, skip, expected", [
    # t = 3: prices[2] / prices[0] - 1 = 4 / 1 - 1 = 3
    ([[1.0], [2.0], [4.0], [8.0]], 3, 1, [[NAN], [NAN], [NAN], [3.0]]),
    # skip 0 uses the date's own price: 3 / 2 - 1, 4 / 1 - 1
    ([[2.0, 1.0], [3.0, 4.0]], 1, 0, [[NAN, NAN], [0.5, 3.0]]),
    ([[2.0, 1.0], [3.0, 4.0]], 5, 1, [[NAN, NAN], [NAN, NAN]]),
])
def test_momentum_hand_cases(prices, lookback, skip, expected):
    np.testing.assert_array_equal(tw.momentum_panel(np.array(prices), lookback, skip), np.array(expected))


def test_momentum_against_shifted_arrays():
    rng = np.random.default_rng(6)
    prices = np.exp(rng.normal(size=(40, 5)).cumsum(axis=0))
    prices[7, 2] = 0.0
    prices[11, 1] = -3.0
    prices[20, 4] = NAN
    lookback, skip = 10, 3
    expected = np.full(prices.shape, NAN)
    recent = prices[lookback - skip : len(prices) - skip]
    past = prices[: len(prices) - lookback]
    ok = (recent > 0) & (past > 0)
    with np.errstate(invalid="ignore", divide="ignore"):
        expected[lookback:] = np.where(ok, recent / past - 1.0, NAN)
    np.testing.assert_array_equal(tw.momentum_panel(prices, lookback, skip), expected)


MOMENTUM_INF = np.ones((4, 2))
MOMENTUM_INF[0, 1] = INF


@pytest.mark.parametrize("call, text", [
    (lambda: tw.winsorize_panel(np.ones((2, 2)), 0.5), "degenerate input: winsorize pct must be in [0, 0.5), got 0.5"),
    (lambda: tw.winsorize_panel(np.ones((2, 2)), NAN), "degenerate input: winsorize pct must be in [0, 0.5), got NaN"),
    # min_names fails even on an empty panel
    (lambda: tw.zscore_panel(np.zeros((0, 0)), 1), "degenerate input: min_names must be >= 2, got 1"),
    (lambda: tw.rank_panel(np.zeros((0, 0)), 1), "degenerate input: min_names must be >= 2, got 1"),
    (lambda: tw.momentum_panel(np.ones((4, 2)), 3, 3),
     "degenerate input: need 0 <= skip < lookback, got lookback=3 skip=3"),
    (lambda: tw.momentum_panel(MOMENTUM_INF, 2, 1), "non-finite value at row 0, col 1"),
])
def test_parameter_refusals(call, text):
    with pytest.raises(ValueError) as e:
        call()
    assert str(e.value) == text


# ---------------------------------------------------------------------------
# composite_scores


def test_composite_equal_weights_is_the_cellwise_mean_and_nan_propagates():
    a = rows_with_nans(7, shape=(5, 4))
    b = rows_with_nans(8, shape=(5, 4))
    got = tw.composite_scores([a, b], np.array([2.0, 2.0]))
    expected = a * 0.5 + b * 0.5  # NaN wherever either is NaN
    np.testing.assert_array_equal(got, expected)


def test_composite_zero_weight_panel_still_masks_cells():
    a = np.array([[1.0, 2.0]])
    b = np.array([[NAN, 5.0]])
    np.testing.assert_array_equal(tw.composite_scores([a, b], np.array([1.0, 0.0])), np.array([[NAN, 2.0]]))
    np.testing.assert_array_equal(tw.composite_scores((a, b), np.array([1.0, -0.0])), np.array([[NAN, 2.0]]))


def test_composite_normalises_weights():
    a = np.array([[1.0, 10.0]])
    b = np.array([[3.0, 20.0]])
    c = np.array([[0.0, -5.0]])
    # weights 1, 3, 4 -> 0.125, 0.375, 0.5
    got = tw.composite_scores([a, b, c], np.array([1.0, 3.0, 4.0]))
    np.testing.assert_array_equal(got, np.array([[1 * 0.125 + 3 * 0.375 + 0.0, 10 * 0.125 + 20 * 0.375 - 2.5]]))


TWO = [np.ones((2, 2)), np.ones((2, 2))]
BAD_WEIGHTS = "degenerate input: factor weights must be non-negative and sum to a positive number, got "


@pytest.mark.parametrize("factors, weights, text", [
    ([], [], "no factor panels supplied"),
    ([np.ones((5, 3)), np.ones((5, 3)), np.ones((5, 4))], [1.0] * 3,
     "factor 2 shape 5x4 differs from factor 0 shape 5x3"),
    (TWO, [1.0], "shape mismatch: 1 weights for 2 factors"),
    (TWO, [1.0, -0.5], BAD_WEIGHTS + "[1.0, -0.5]"),
    (TWO, [0.0, 0.0], BAD_WEIGHTS + "[0.0, 0.0]"),
    (TWO, [NAN, 1.0], BAD_WEIGHTS + "[NaN, 1.0]"),
    ([np.ones((2, 2)), np.array([[1.0, INF], [1.0, 1.0]])], [-1.0, 1.0], "non-finite value at row 0, col 1"),
])
def test_composite_validation_order_and_texts(factors, weights, text):
    with pytest.raises(ValueError) as e:
        tw.composite_scores(factors, np.array(weights))
    assert str(e.value) == text


def test_composite_weight_list_uses_exponent_form_for_tiny_weights():
    tw.composite_scores(TWO, np.array([1e-5, 2.0]))  # a tiny positive weight is a weight
    with pytest.raises(ValueError) as e:
        tw.composite_scores([np.ones((1, 1))] * 3, np.array([1e-5, 2.0, -1e16]))
    assert str(e.value).endswith("got [1e-5, 2.0, -1e16]")
