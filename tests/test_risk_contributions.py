import math

import numpy as np
import pytest

import tarnwick as tw
from portfolio_models import diagonal_model

VARS = [1e-4, 4e-4, 9e-4]
MODEL, IDS = diagonal_model(VARS, ppy=12.0)


def test_diagonal_book_by_hand():
    w = np.array([0.5, 0.25, 0.25])
    rc = tw.compute_risk_contributions(MODEL, w, IDS)
    # sigma^2 = 1e-4 * 0.25 + 4e-4 * 0.0625 + 9e-4 * 0.0625 = 1.0625e-4.
    var = 1.0625e-4
    sigma = math.sqrt(var)
    s_w = np.array(VARS) * w
    np.testing.assert_allclose(rc.marginal(), s_w / sigma, rtol=1e-12)
    np.testing.assert_allclose(rc.contribution(), w * s_w / sigma, rtol=1e-12)
    np.testing.assert_allclose(rc.pct_contribution(), w * s_w / var, rtol=1e-12)
    assert rc.total_vol_annualized == pytest.approx(sigma * math.sqrt(12.0), rel=1e-12)
    assert repr(rc).startswith("<builtins.RiskContributions object at")


@pytest.mark.parametrize("seed", [0, 1, 2])
def test_decomposition_of_any_book_sums_to_its_volatility(seed):
    rng = np.random.default_rng(seed)
    returns = rng.normal(0, 0.01, (90, 5)) + np.outer(rng.normal(0, 0.01, 90), rng.uniform(0.1, 1.0, 5))
    ids = list("abcde")
    model = tw.estimate_covariance(returns, ids, 252.0)
    # Weights need not sum to 1 and may be negative.
    w = rng.normal(0, 0.5, 5)
    rc = tw.compute_risk_contributions(model, w, ids)
    cov = model.cov()
    sigma = math.sqrt(w @ cov @ w)
    np.testing.assert_allclose(rc.marginal(), cov @ w / sigma, rtol=1e-10)
    assert rc.contribution().sum() == pytest.approx(sigma, rel=1e-12)
    assert rc.pct_contribution().sum() == pytest.approx(1.0, rel=1e-12)
    assert rc.total_vol_annualized == pytest.approx(sigma * math.sqrt(252.0), rel=1e-12)


@pytest.mark.parametrize("weights, ids, message", [
    ([0.2, 0.3, 0.5], ["S1", "S0", "S2"], "asset ids mismatch: position 0: model 'S0' vs caller 'S1'"),
    ([0.2, 0.3, 0.5], ["S0", "S1", "s2"], "asset ids mismatch: position 2: model 'S2' vs caller 's2'"),
    ([0.2, 0.3], ["S0", "S1"], "asset ids mismatch: model has 3 assets, caller supplied 2"),
    ([0.2, 0.3], IDS, "shape mismatch: 2 weights for 3 assets"),
    ([0.2, math.inf, math.nan], IDS, "non-finite value at row 0, col 1"),
    ([0.0, 0.0, 0.0], IDS, "degenerate input: portfolio variance 0.000e0 is not positive; risk decomposition undefined"),
])
def test_refusals(weights, ids, message):
    with pytest.raises(ValueError) as e:
        tw.compute_risk_contributions(MODEL, np.array(weights, dtype=float), ids)
    assert str(e.value) == message


def test_variance_lost_to_overflow_is_refused():
    # 1e-4 * 1e200^2 overflows to an infinite variance.
    with pytest.raises(ValueError, match="^degenerate input: portfolio variance inf is not finite"):
        tw.compute_risk_contributions(MODEL, np.array([1e200, -1e200, 1e200]), IDS)
