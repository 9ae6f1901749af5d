import math

import numpy as np
import pytest

import tarnwick as tw
from pool_checks import outputs_under_worker_counts


def factor_returns(seed, t=80, n=5):
    """One common factor with uneven loadings, so that the correlations differ."""
    rng = np.random.default_rng(seed)
    market = rng.normal(0.0005, 0.01, t)
    return np.outer(market, rng.uniform(0.3, 1.5, n)) + rng.normal(0.0, 0.008, (t, n))


def ids(n):
    return [f"A{i}" for i in range(n)]


def reference_shrinkage(x):
    """Constant-correlation shrinkage from the closed forms, in whole-matrix algebra."""
    t, n = x.shape
    y = x - x.mean(axis=0)
    s = y.T @ y / t
    var = np.diag(s)
    sd = np.sqrt(var)
    rbar = ((s / np.outer(sd, sd)).sum() - n) / (n * (n - 1))
    f = rbar * np.outer(sd, sd)
    np.fill_diagonal(f, var)
    # pi_ij = mean((y_i y_j)^2) - s_ij^2; theta_ij = mean(y_i^3 y_j) - s_ii s_ij.
    pi_mat = (y**2).T @ (y**2) / t - s**2
    theta = (y**3).T @ y / t - var[:, None] * s
    off = ~np.eye(n, dtype=bool)
    # The two theta terms of an ordered pair are the same sum seen from either end.
    rho = np.trace(pi_mat) + rbar * (np.sqrt(var[None, :] / var[:, None]) * theta)[off].sum()
    delta = min(1.0, max(0.0, (pi_mat.sum() - rho) / ((f - s) ** 2).sum() / t))
    return delta, (1 - delta) * s + delta * f


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_matches_the_closed_form_shrinkage(seed):
    x = factor_returns(seed)
    delta, sigma = reference_shrinkage(x)
    model = tw.estimate_covariance(np.asfortranarray(x), ids(5), 252.0)
    assert 0.0 < delta < 1.0
    assert model.shrinkage_intensity == pytest.approx(delta, rel=1e-9)
    np.testing.assert_allclose(model.cov(), sigma, rtol=1e-10)
    np.testing.assert_array_equal(model.cov(), model.cov().T)


def test_two_assets_keep_the_sample_covariance():
    x = factor_returns(9, n=2)
    model = tw.estimate_covariance(x, ["x", "y"], 12.0)
    # With two assets the target is the sample matrix itself: nothing to shrink toward.
    assert model.shrinkage_intensity == 0.0
    np.testing.assert_allclose(model.cov(), np.cov(x, rowvar=False, bias=True), rtol=1e-12)


def test_model_attributes_are_copies():
    model = tw.estimate_covariance(factor_returns(5, t=250, n=3), ["a", "b", "c"], 252)
    assert (model.n_assets, model.n_obs, model.asset_ids) == (3, 250, ["a", "b", "c"])
    assert type(model.periods_per_year) is float and model.periods_per_year == 252.0
    first = model.cov()
    first[0, 0] = 99.0
    model.asset_ids.append("d")
    assert model.cov()[0, 0] != 99.0 and model.asset_ids == ["a", "b", "c"]
    assert repr(model) == (f"PyRiskModel(n_assets=3, n_obs=250, shrinkage={model.shrinkage_intensity:.4f}, "
                           "periods_per_year=252)")


BASE = factor_returns(11, t=10, n=3)
CONSTANT = BASE.copy()
CONSTANT[:, 2] = 0.01
# A spread of 1e-9 around 1: the variance 2.5e-19 is below 1 * 1 * 2^-52.
NEAR_CONSTANT = BASE.copy()
NEAR_CONSTANT[:, 1] = 1.0 + 1e-9 * (np.arange(10) % 2)
WITH_NAN = BASE.copy()
WITH_NAN[3, 1] = math.nan


@pytest.mark.parametrize("returns, n_ids, ppy, message", [
    (WITH_NAN, 2, 252.0, "non-finite value at row 3, col 1"),
    (BASE, 2, 252.0, "shape mismatch: 2 asset_ids for 3 columns"),
    (BASE[:1], 3, 252.0, "degenerate input: need at least 2 observations, got 1"),
    (BASE[:, :1], 1, 252.0, "degenerate input: need at least 2 assets, got 1"),
    (BASE, 3, -1, "degenerate input: periods_per_year must be a positive finite number, got -1"),
    (BASE, 3, math.inf, "degenerate input: periods_per_year must be a positive finite number, got inf"),
    (CONSTANT, 3, 252.0, "zero-variance asset at index 2"),
    (NEAR_CONSTANT, 3, 252.0, "zero-variance asset at index 1"),
])
def test_refusals(returns, n_ids, ppy, message):
    with pytest.raises(ValueError) as e:
        tw.estimate_covariance(returns, ids(n_ids), ppy)
    assert str(e.value) == message


SMALL = np.array([[.01, .02, -.01], [0, -.01, .02], [.02, .01, 0], [-.01, 0, .01], [.03, .02, -.02], [0, .01, .01]])


@pytest.mark.parametrize("power", [-100, -30, -12, -6, -3, 0, 3, 6, 50])
def test_intensity_does_not_depend_on_the_unit_of_the_returns(power):
    # The closed forms on the unscaled panel in NumPy; a power of ten only rounds the panel.
    delta, _ = reference_shrinkage(SMALL)
    assert 0.1 < delta < 0.3
    model = tw.estimate_covariance(SMALL * 10.0**power, ids(3), 252.0)
    assert model.shrinkage_intensity == pytest.approx(delta, rel=1e-12)


@pytest.mark.parametrize("factor, quantity", [(1e80, "pi"), (1e160, "S")])
def test_returns_whose_fourth_powers_overflow_are_refused(factor, quantity):
    # Returns near 1e78 still give the true intensity; near 1e80, dev^2 passes 1e308.
    assert tw.estimate_covariance(SMALL * 1e78, ids(3), 252.0).shrinkage_intensity == pytest.approx(
        reference_shrinkage(SMALL)[0], rel=1e-12)
    with pytest.raises(ValueError, match=f"^degenerate input: values too large: {quantity} is not finite$"):
        tw.estimate_covariance(SMALL * factor, ids(3), 252.0)


WORKERS_SCRIPT = """
import numpy as np, sys
import tarnwick as tw
rng = np.random.default_rng(4)
x = np.outer(rng.normal(0, 0.01, 700), rng.uniform(0.3, 1.5, 150)) + rng.normal(0, 0.01, (700, 150))
m = tw.estimate_covariance(x, [str(i) for i in range(150)], 252.0)
sys.stdout.write(m.cov().tobytes().hex() + repr(m.shrinkage_intensity))
"""


def test_same_bits_whatever_the_worker_count():
    outputs = outputs_under_worker_counts(WORKERS_SCRIPT, ("1", "3", "8"))
    assert outputs[0] and len(set(outputs)) == 1


def unaligned(x):
    raw = np.zeros(x.size * 8 + 1, dtype=np.uint8)
    view = raw[1:].view(np.float64).reshape(x.shape)
    view[...] = x
    return view


@pytest.mark.parametrize("layout", [np.asfortranarray, lambda x: x[::2, ::3], unaligned])
def test_any_memory_layout_gives_the_same_model(layout):
    wide = factor_returns(21, t=160, n=12)
    x = layout(wide)
    want = tw.estimate_covariance(np.ascontiguousarray(x), ids(x.shape[1]), 52.0)
    got = tw.estimate_covariance(x, ids(x.shape[1]), 52.0)
    assert got.shrinkage_intensity == want.shrinkage_intensity
    np.testing.assert_array_equal(got.cov(), want.cov())
