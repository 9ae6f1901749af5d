"""Rank IC of a factor panel against forward returns derived from prices."""

import math

import numpy as np
import pytest
from scipy import stats

from tarnwick import _tarnwick as tw

NAN = float("nan")
INF = float("inf")


def reference(factor, prices, horizon, min_names):
    rows = factor.shape[0]
    daily = np.full(rows, NAN)
    names = []
    for t in range(max(rows - horizon, 0)):
        f, p0, p1 = factor[t], prices[t], prices[t + horizon]
        ok = np.isfinite(f) & np.isfinite(p0) & np.isfinite(p1) & (p0 > 0) & (p1 > 0)
        if ok.sum() < min_names:
            continue
        x, y = f[ok], p1[ok] / p0[ok] - 1
        if np.all(x == x[0]) or np.all(y == y[0]):
            continue
        daily[t] = stats.spearmanr(x, y).statistic
        names.append(ok.sum())
    return daily, names


def random_case(seed, rows=60, cols=15):
    rng = np.random.default_rng(seed)
    prices = np.exp(rng.normal(0, 0.02, size=(rows, cols)).cumsum(axis=0)) * 100
    factor = np.round(rng.normal(size=(rows, cols)), 1)  # rounding makes ties
    factor[rng.random(factor.shape) < 0.1] = NAN
    prices[rng.random(prices.shape) < 0.05] = NAN
    prices[3, 4] = 0.0
    prices[9, 2] = -1.0
    return factor, prices


@pytest.mark.parametrize("seed, horizon, min_names", [(1, 1, 2), (2, 5, 8), (3, 10, 12), (4, 3, 14)])
def test_matches_scipy_spearman_per_date(seed, horizon, min_names):
    factor, prices = random_case(seed)
    r = tw.rank_ic(factor, prices, horizon, min_names)
    daily, names = reference(factor, prices, horizon, min_names)
    np.testing.assert_allclose(r.daily_ic(), daily, rtol=0, atol=1e-12)
    scored = daily[np.isfinite(daily)]
    n = len(scored)
    assert r.n_dates_scored == n
    assert r.overlap_days == horizon
    assert r.mean_ic == pytest.approx(scored.mean(), abs=1e-14)
    assert r.stdev_ic == pytest.approx(scored.std(ddof=1), rel=1e-12)
    t = scored.mean() / (scored.std(ddof=1) / math.sqrt(n))
    assert r.t_stat == pytest.approx(t, rel=1e-10)
    assert r.t_stat_deflated == pytest.approx(t / math.sqrt(horizon), rel=1e-10)
    assert r.n_independent == n / horizon
    assert r.mean_names == pytest.approx(sum(names) / n, rel=1e-15)


def test_perfect_reverse_and_tied_orderings():
    # Forward returns over one date: +10%, +20%, +30%, +40% for assets 0..3.
    prices = np.array([[10.0, 10.0, 10.0, 10.0, 10.0], [11.0, 12.0, 13.0, 14.0, 15.0]])
    prices = np.vstack([prices, prices, prices])[[0, 1, 0, 1, 0, 1]]
    factor = np.array(
        [
            [1.0, 2.0, 3.0, 4.0, 5.0],  # same order: IC = 1
            [0.0, 0.0, 0.0, 0.0, 0.0],
            [5.0, 4.0, 3.0, 2.0, 1.0],  # reverse: IC = -1
            [0.0, 0.0, 0.0, 0.0, 0.0],
            [1.0, 1.0, 2.0, 2.0, 2.0],  # ties: ranks 0.5 0.5 3 3 3 against 0..4
            [0.0, 0.0, 0.0, 0.0, 0.0],
        ]
    )
    r = tw.rank_ic(factor, prices, 1, 2)
    daily = r.daily_ic()
    assert daily[0] == 1.0
    assert daily[2] == -1.0
    # rx - mean: -1.5 -1.5 1 1 1; ry - mean: -2 -1 0 1 2; cov = 3 + 1.5 + 0 + 1 + 2 = 7.5
    # vx = 2.25*2 + 3 = 7.5, vy = 10: ic = 7.5 / sqrt(75)
    assert daily[4] == pytest.approx(7.5 / math.sqrt(75.0), rel=1e-15)
    # Dates 1 and 3 have equal factors (vx = 0): skipped. The last date has no forward price.
    assert np.isnan(daily[[1, 3, 5]]).all()
    assert r.n_dates_scored == 3


def test_rows_not_beyond_horizon_score_nothing():
    r = tw.rank_ic(np.ones((3, 4)), np.ones((3, 4)), 3, 2)
    assert r.n_dates_scored == 0
    assert np.isnan(r.daily_ic()).all() and len(r.daily_ic()) == 3
    assert r.n_independent == 0.0
    assert r.overlap_days == 3
    for name in ("mean_ic", "stdev_ic", "t_stat", "t_stat_deflated", "mean_names"):
        assert math.isnan(getattr(r, name)), name


def test_one_scored_date_has_no_spread():
    factor = np.array([[1.0, 2.0, 3.0], [0.0, 0.0, 0.0], [0.0, 0.0, 0.0]])
    prices = np.array([[1.0, 1.0, 1.0], [1.0, 1.0, 1.0], [2.0, 3.0, 4.0]])
    r = tw.rank_ic(factor, prices, 2, 2)
    assert r.n_dates_scored == 1
    assert r.mean_ic == 1.0
    assert math.isnan(r.stdev_ic) and math.isnan(r.t_stat) and math.isnan(r.t_stat_deflated)
    assert r.n_independent == 0.5
    assert r.mean_names == 3.0


def test_identical_ics_leave_the_t_stat_undefined_and_counts_follow_the_horizon():
    rows, cols, horizon = 105, 6, 5
    prices = np.tile(np.exp(np.arange(rows) * 0.01)[:, None], (1, cols)) * np.arange(1, cols + 1)
    prices = prices * (1 + np.arange(cols) * 0.001) ** np.arange(rows)[:, None]  # higher col, faster growth
    factor = np.tile(np.arange(cols, dtype=float), (rows, 1))
    r = tw.rank_ic(factor, prices, horizon, 2)
    assert r.n_dates_scored == 100
    assert r.mean_ic == 1.0 and r.stdev_ic == 0.0
    assert math.isnan(r.t_stat) and math.isnan(r.t_stat_deflated)
    assert r.n_independent == 20.0
    assert np.isnan(r.daily_ic()[-horizon:]).all()


@pytest.mark.parametrize("factor, prices, horizon, min_names, text", [
    (np.ones((3, 2)), np.ones((3, 3)), 1, 2, "factor is 3x2 but prices is 3x3"),
    (np.array([[1.0, INF]]), np.array([[-INF, 1.0]]), 1, 2, "non-finite value at row 0, col 1"),
    (np.ones((2, 2)), np.array([[1.0, 1.0], [INF, 1.0]]), 1, 2, "non-finite value at row 1, col 0"),
    (np.ones((2, 2)), np.ones((2, 2)), 0, 1, "degenerate input: horizon must be >= 1"),
    (np.ones((2, 2)), np.ones((2, 2)), 1, 1, "degenerate input: min_names must be >= 2, got 1"),
])
def test_failures(factor, prices, horizon, min_names, text):
    with pytest.raises(ValueError) as e:
        tw.rank_ic(factor, prices, horizon, min_names)
    assert str(e.value) == text


def test_record_face():
    r = tw.rank_ic(*random_case(9), 2, 3)
    with pytest.raises(TypeError, match="No constructor defined"):
        tw.RankIC()
    a, b = r.daily_ic(), r.daily_ic()
    assert a is not b
    a[:] = 0.0
    assert not np.array_equal(r.daily_ic(), a)
    assert tw.RankIC.t_stat_deflated.__doc__ == "Overlap-corrected t-stat. Decide on THIS, not `t_stat`."
    assert tw.RankIC.n_independent.__doc__ == "Roughly how many non-overlapping forward windows back the measurement."
    assert type(r.n_dates_scored) is int and type(r.overlap_days) is int and type(r.mean_names) is float
    with pytest.raises(AttributeError):
        r.mean_ic = 1.0
    assert tw.rank_ic.__text_signature__ == "(factor, prices, horizon, min_names)"
