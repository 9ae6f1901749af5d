"""Monte Carlo forward simulation of a fixed-weight portfolio."""

import math
import re
from fractions import Fraction

import numpy as np
import pytest
from pool_checks import outputs_under_worker_counts, ticks_inside

from tarnwick import _tarnwick as tw

M64 = (1 << 64) - 1
GOLDEN = 0x9E3779B97F4A7C15
JUMP = (0x180EC6D33CFD0ABA, 0xD5A61266F0C9392C, 0xA9582618E03FC9AA, 0x39ABDC4529B1661C)
PATHS_PER_STREAM = 64


def seq_sum(xs):
    """Left to right from -0.0, the order the engine sums in."""
    total = -0.0
    for x in xs:
        total += x
    return total


# A plain-Python xoshiro256** with the seed expansion, Box-Muller draws, Cholesky factor
# and portfolio step, written from the algorithm's description.
class Rng:
    def __init__(self, seed):
        z = (seed + GOLDEN) & M64
        self.s = []
        for _ in range(4):
            z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & M64
            z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & M64
            self.s.append(z ^ (z >> 31))
            z = (z + GOLDEN) & M64

    @staticmethod
    def rotl(x, k):
        return ((x << k) | (x >> (64 - k))) & M64

    def next(self):
        s = self.s
        out = (self.rotl((s[1] * 5) & M64, 7) * 9) & M64
        t = (s[1] << 17) & M64
        s[2] ^= s[0]
        s[3] ^= s[1]
        s[1] ^= s[2]
        s[0] ^= s[3]
        s[2] ^= t
        s[3] = self.rotl(s[3], 45)
        return out

    def uniform(self):
        return (self.next() >> 11) * 2.0**-53

    def jump(self):
        acc = [0, 0, 0, 0]
        for word in JUMP:
            for b in range(64):
                if word >> b & 1:
                    acc = [a ^ x for a, x in zip(acc, self.s)]
                self.next()
        self.s = acc


def reference_paths(returns, weights, corr, v0, n_paths, horizon, seed):
    n = len(returns)
    mu, sigma = [], []
    for r in returns:
        if len(r) == 0:
            mu.append(0.0)
            sigma.append(0.0)
            continue
        m = seq_sum(r) / len(r)
        ss = seq_sum((x - m) * (x - m) for x in r)
        mu.append(m)
        sigma.append(max(math.sqrt(ss / len(r)), 1e-10))
    L = [[0.0] * n for _ in range(n)]
    for i in range(n):
        for j in range(i + 1):
            s = seq_sum(L[i][k] * L[j][k] for k in range(j))
            L[i][j] = (corr[i][j] - s) / L[j][j] if j < i else math.sqrt(corr[i][i] - s)
    # Block b of PATHS_PER_STREAM paths draws from the seed's stream jumped b times.
    block_start = Rng(seed)
    rng = Rng(seed)
    paths = []
    for p in range(n_paths):
        if p and p % PATHS_PER_STREAM == 0:
            block_start.jump()
            rng.s = list(block_start.s)
        value = v0
        path = [value]
        for _ in range(horizon):
            z = []
            for _ in range(n):
                u1, u2 = max(rng.uniform(), 1e-15), rng.uniform()
                z.append(math.sqrt(-2.0 * math.log(u1)) * math.cos(6.283185307179586 * u2))
            g = 0.0
            for i in range(n):
                e = 0.0
                for j in range(i + 1):
                    e += L[i][j] * z[j]
                g += weights[i] * (math.exp(sigma[i] * 1.0 * e + (mu[i] - 0.5 * sigma[i] ** 2) * 1.0) - 1.0)
            value *= 1.0 + g
            path.append(value)
        paths.append(path)
    return paths


def same(a, b):
    return a == b or (math.isnan(a) and math.isnan(b))


def exact_mean(xs):
    return sum(map(Fraction, xs), Fraction(0)) / len(xs)


def mean(finite):
    """The mean of finite values: their sum in order over their count, or, where that sum
    leaves the double range, the true mean."""
    total = seq_sum(finite)
    return total / len(finite) if math.isfinite(total) else float(exact_mean(finite))


def summarise(paths, v0):
    """The summary as documented: finals ordered -inf, finite ascending, +inf, NaN (ties in
    path order); statistics over the finite finals; each percentile path the first path
    whose final value is the one at the percentile's place."""
    finals = [p[-1] for p in paths]
    s = sorted(finals, key=lambda v: (math.isnan(v), v))
    n = len(s)
    finite = [v for v in s if math.isfinite(v)]
    m = len(finite)
    out = {"final_values": s}
    if m:
        k = min(int(math.floor(0.05 * (m - 1) + 0.5)), m - 1)
        out["expected_return"] = (mean(finite) / v0 - 1) * 100
        out["probability_of_loss"] = sum(f < v0 for f in finite) / m
        out["var_95"] = max(0.0, (v0 - finite[k]) / v0 * 100)
        out["cvar_95"] = max(0.0, (v0 - mean(finite[: k + 1])) / v0 * 100)
    else:
        out.update(expected_return=math.nan, probability_of_loss=math.nan, var_95=math.nan, cvar_95=math.nan)
    pct = []
    for p in (5.0, 25.0, 50.0, 75.0, 95.0):
        target = s[min(int(math.floor(p / 100 * (n - 1) + 0.5)), n - 1)]
        best = next(i for i in range(n) if same(finals[i], target))
        pct.append((p, paths[best]))
    out["percentile_paths"] = pct
    return out


RETURNS = [
    np.array([0.01, -0.02, 0.015, 0.003, -0.007]),
    np.array([0.002, 0.001, -0.001]),
    np.array([0.05, -0.04, 0.03, -0.02]),
]
WEIGHTS = np.array([0.5, 0.3, 0.2])
CORR = [np.array([1.0, 0.3, 0.1]), np.array([0.3, 1.0, -0.2]), np.array([0.1, -0.2, 1.0])]


def assert_same_summary(got, ref):
    assert list(got) == ["percentile_paths", "final_values", "expected_return", "probability_of_loss", "var_95", "cvar_95"]
    np.testing.assert_array_equal(got["final_values"], np.array(ref["final_values"]))
    for key in ("expected_return", "probability_of_loss", "var_95", "cvar_95"):
        assert same(got[key], ref[key]), key
    for (p, path), (rp, rpath) in zip(got["percentile_paths"], ref["percentile_paths"]):
        assert p == rp
        np.testing.assert_array_equal(np.array(path), np.array(rpath))


def many_assets(n, seed=4):
    rng = np.random.default_rng(seed)
    returns = [rng.normal(0.0005, rng.uniform(0.005, 0.03), int(rng.integers(5, 60))) for _ in range(n)]
    a = rng.normal(0, 1, (n, n + 2))
    c = a @ a.T
    d = np.sqrt(np.diag(c))
    return returns, rng.normal(1.0 / n, 0.5 / n, n), list(c / np.outer(d, d))


@pytest.mark.parametrize("assets, n_paths, horizon, seed", [
    ((RETURNS, WEIGHTS, CORR), 5, 4, 42),
    ((RETURNS, WEIGHTS, CORR), 70, 3, 7),
    ((RETURNS, WEIGHTS, CORR), 130, 2, 2**64 - 1),
    # Paths over two blocks and a part, a group of lanes cut short, many assets.
    (many_assets(11), 150, 3, 5),
], ids=["five_paths", "past_one_block", "last_seed", "eleven_assets"])
def test_paths_match_an_independent_replay(assets, n_paths, horizon, seed):
    returns, weights, corr = assets
    got = tw.simulate_portfolio_mc(returns, weights, corr, 1000.0, n_paths, horizon, seed)
    ref = summarise(reference_paths([list(r) for r in returns], list(weights), [list(r) for r in corr], 1000.0,
                                    n_paths, horizon, seed), 1000.0)
    assert_same_summary(got, ref)


# Two assets of mean 1 and spread 1 under weights of +-1e308: a step's growth overflows to
# +inf, to -inf, to NaN (inf - inf) or stays finite, each for a good share of the paths.
WILD_RETURNS = [np.array([0.01, -0.01]), np.array([0.0, 2.0]), np.array([2.0, 0.0])]
WILD_WEIGHTS = np.array([1.0, 1e308, -1e308])
IDENTITY = [np.array([1.0, 0.0, 0.0]), np.array([0.0, 1.0, 0.0]), np.array([0.0, 0.0, 1.0])]


@pytest.mark.parametrize("n_paths, horizon, seed", [(200, 1, 5), (67, 2, 9), (1, 1, 3)])
def test_infinite_and_nan_finals_are_ordered_and_left_out_of_the_statistics(n_paths, horizon, seed):
    got = tw.simulate_portfolio_mc(WILD_RETURNS, WILD_WEIGHTS, IDENTITY, 1.0, n_paths, horizon, seed)
    ref = summarise(reference_paths([r.tolist() for r in WILD_RETURNS], WILD_WEIGHTS.tolist(),
                                    [r.tolist() for r in IDENTITY], 1.0, n_paths, horizon, seed), 1.0)
    assert_same_summary(got, ref)
    s = got["final_values"]
    kinds = np.select([np.isneginf(s), np.isfinite(s), np.isposinf(s)], [0, 1, 2], 3)
    assert np.all(np.diff(kinds) >= 0)
    if n_paths == 200:
        assert set(kinds) == {0, 1, 2, 3}
        assert np.all(np.diff(s[np.isfinite(s)]) >= 0)
        # The 5th and 95th percentile paths end at -inf and at NaN, as the order has them.
        assert got["percentile_paths"][0][1][-1] == -math.inf and math.isnan(got["percentile_paths"][4][1][-1])


def test_the_docstring_names_the_statistics_taken_over_the_finite_finals_only():
    got = tw.simulate_portfolio_mc(WILD_RETURNS, WILD_WEIGHTS, IDENTITY, 1.0, 200, 1, 5)
    doc = " ".join(tw.simulate_portfolio_mc.__doc__.split())
    named = re.search(r"\. ([^.]*) are taken over the finite final values only", doc).group(1)
    assert set(re.findall(r"`(\w+)`", named)) == set(got) - {"final_values", "percentile_paths"}


@pytest.mark.parametrize("series, weight", [
    # An empty series contributes exp(0) - 1 = 0, times an infinite weight: NaN every step.
    (np.array([]), math.inf),
    # A NaN return makes the drift NaN, and every growth with it.
    (np.array([0.01, math.nan, -0.02]), 1.0),
], ids=["infinite_weight", "nan_return"])
@pytest.mark.parametrize("n_paths", [1, 4, 130])
def test_no_finite_final_value_leaves_every_statistic_undefined(series, weight, n_paths):
    got = tw.simulate_portfolio_mc([series], np.array([weight]), [np.array([1.0])], 100.0, n_paths, 3)
    assert np.all(np.isnan(got["final_values"]))
    # A simulation that failed on every path is not a riskless one.
    for key in ("expected_return", "probability_of_loss", "var_95", "cvar_95"):
        assert math.isnan(got[key]), key


TWO_HUGE = [np.array([707.6, 709.6])] * 2
IDENTITY_2 = [np.array([1.0, 0.0]), np.array([0.0, 1.0])]


@pytest.mark.parametrize("returns, weights, corr, v0, n_paths, seed", [
    # Every final sits next to 1e308, so four of them sum past the range.
    ([np.zeros(5)], np.array([1.0]), [np.array([1.0])], 1e308, 4, 42),
    # Two assets growing about e^708 a step, long one and short the other: the finals that
    # stay finite spread over the whole range, both signs, and their sums overflow.
    (TWO_HUGE, np.array([1.0, -1.0]), IDENTITY_2, 100.0, 4000, 7),
])
def test_statistics_of_finals_whose_sums_leave_the_double_range(returns, weights, corr, v0, n_paths, seed):
    got = tw.simulate_portfolio_mc(returns, weights, corr, v0, n_paths, 1, seed)
    finals = got["final_values"]
    finite = finals[np.isfinite(finals)].tolist()
    m = len(finite)
    assert m > 0
    top = max(abs(x) for x in finite)
    assert math.isinf(seq_sum(finite)), "the plain sum must overflow for this case to test anything"
    for key in ("expected_return", "probability_of_loss", "var_95", "cvar_95"):
        assert math.isfinite(got[key]), key
    # Exact rational means; a sum in order may lose up to m ulps of the largest final.
    exact = (exact_mean(finite) / Fraction(v0) - 1) * 100
    assert abs(got["expected_return"] - float(exact)) <= m * 2.0**-52 * top / v0 * 100
    assert got["probability_of_loss"] == sum(x < v0 for x in finite) / m
    k = min(int(math.floor(0.05 * (m - 1) + 0.5)), m - 1)
    tail = (Fraction(v0) - exact_mean(finite[: k + 1])) / Fraction(v0) * 100
    assert abs(got["cvar_95"] - max(0.0, float(tail))) <= (k + 1) * 2.0**-52 * top / v0 * 100
    assert got["var_95"] == pytest.approx(max(0.0, float((Fraction(v0) - Fraction(finite[k])) / Fraction(v0) * 100)),
                                          rel=1e-15)
    if v0 == 1e308:
        assert got["expected_return"] == pytest.approx(0.0, abs=1e-6)


def test_statistics_follow_the_inputs():
    # One asset: final / V0 after one step is exp(sigma z + mu - sigma^2 / 2).
    rng = np.random.default_rng(3)
    series = rng.normal(0.01, 0.05, size=500)
    mu, sigma = series.mean(), series.std()
    got = tw.simulate_portfolio_mc([series], np.array([1.0]), [np.array([1.0])], 100.0, 20000, 1, 11)
    log_growth = np.log(got["final_values"] / 100.0)
    assert abs(log_growth.mean() - (mu - sigma**2 / 2)) < 4 * sigma / math.sqrt(20000)
    assert abs(log_growth.std() / sigma - 1) < 0.03
    assert got["expected_return"] == pytest.approx((math.exp(mu) - 1) * 100, abs=4 * 100 * sigma / math.sqrt(20000))


def test_correlation_reaches_the_shocks():
    # Two equally weighted, perfectly anti-correlated-ish assets diversify: the book's
    # one-step spread is sqrt(0.5 (1 + rho)) of one asset's.
    rng = np.random.default_rng(5)
    series = rng.normal(0.0, 0.04, size=400)
    sigma = series.std()
    for rho in (-0.8, 0.0, 0.8):
        corr = [np.array([1.0, rho]), np.array([rho, 1.0])]
        got = tw.simulate_portfolio_mc([series, series], np.array([0.5, 0.5]), corr, 1.0, 20000, 1, 1)
        spread = got["final_values"].std()
        assert spread == pytest.approx(sigma * math.sqrt(0.5 * (1 + rho)), rel=0.05)


def test_zero_horizon_and_single_path():
    got = tw.simulate_portfolio_mc(RETURNS, WEIGHTS, CORR, 250.0, 7, 0)
    assert (got["expected_return"], got["probability_of_loss"], got["var_95"], got["cvar_95"]) == (0.0, 0.0, 0.0, 0.0)
    assert got["percentile_paths"] == [(p, [250.0]) for p in (5.0, 25.0, 50.0, 75.0, 95.0)]
    one = tw.simulate_portfolio_mc(RETURNS, WEIGHTS, CORR, 250.0, 1, 5)
    assert len(one["final_values"]) == 1
    paths = [p for _, p in one["percentile_paths"]]
    assert all(p == paths[0] for p in paths) and len(paths[0]) == 6
    assert paths[0][-1] == one["final_values"][0]


def test_default_sizes_tail_and_percentile_indices():
    got = tw.simulate_portfolio_mc(RETURNS[:2], WEIGHTS[:2], [CORR[0][:2], CORR[1][:2]], 100.0)
    s = got["final_values"]
    assert len(s) == 10000 and np.all(np.diff(s) >= 0)
    # k = round(0.05 x 9999) = 500: CVaR averages 501 values.
    assert got["var_95"] == max(0.0, (100.0 - s[500]) / 100.0 * 100)
    assert got["cvar_95"] == pytest.approx(max(0.0, (100.0 - s[:501].mean()) / 100.0 * 100), rel=1e-12)
    for (p, path), idx in zip(got["percentile_paths"], (500, 2500, 5000, 7499, 9499)):
        assert len(path) == 253
        assert abs(path[-1] - s[idx]) == np.min(np.abs(s - s[idx]))


def test_constant_and_empty_series():
    # A constant series grows by exp(0.01) a step (sigma is floored at 1e-10, not 0); an
    # empty one adds nothing.
    got = tw.simulate_portfolio_mc([np.full(5, 0.01), np.array([])], np.array([1.0, 1.0]),
                                   [np.array([1.0, 0.0]), np.array([0.0, 1.0])], 1.0, 3, 2)
    np.testing.assert_allclose(got["final_values"], math.exp(0.02), rtol=1e-8)


@pytest.mark.parametrize(
    "returns, weights, corr, text",
    [
        ([], np.array([]), [], "returns must contain at least one asset series"),
        (np.zeros((10, 3)), np.ones(3), [np.ones(3)] * 3,
         "weights has 3 entries but returns has 10 asset series; returns is a list of per-asset series, not an "
         "(n_obs, n_assets) matrix"),
        (RETURNS, WEIGHTS, CORR[:2], "correlation_matrix must be 3x3 to match the 3 asset series"),
        (RETURNS, WEIGHTS, [CORR[0], CORR[1][:2], CORR[2]], "correlation_matrix must be 3x3 to match the 3 asset series"),
        (RETURNS[:2], WEIGHTS[:2], [np.array([1.0, 1.0]), np.array([1.0, 1.0])],
         "correlation matrix is not positive definite (non-positive pivot 0.000e0 at asset 1); it cannot be "
         "decomposed, and simulating through a repaired version would report risk figures for a correlation "
         "structure you did not supply"),
        (RETURNS[:2], WEIGHTS[:2], [np.array([1e-40, 0.0]), np.array([0.0, 1.0])],
         "correlation matrix is singular (zero pivot at asset 0); assets 1 and 0 are perfectly collinear or a row "
         "is all zeros"),
    ],
)
def test_failures(returns, weights, corr, text):
    with pytest.raises(ValueError) as e:
        tw.simulate_portfolio_mc(returns, weights, corr, 100.0, 10, 5)
    assert str(e.value) == text


@pytest.mark.parametrize("value, shown", [(0.0, "0"), (-1000.0, "-1000"), (math.nan, "NaN"), (math.inf, "inf")])
@pytest.mark.parametrize("n_paths", [10, 1 << 62], ids=["ten_paths", "more_paths_than_memory"])
def test_a_starting_value_that_is_not_above_zero_is_refused_before_any_path(value, shown, n_paths):
    # At 0 every return is 0 / 0; the refusal comes before the paths are sized, so even a
    # request no machine could hold is answered with it.
    with pytest.raises(ValueError) as e:
        tw.simulate_portfolio_mc(RETURNS, WEIGHTS, CORR, value, n_paths, 252)
    assert str(e.value) == f"initial_value must be finite and above 0, got {shown}"


def test_zero_paths_is_refused():
    with pytest.raises(ValueError, match="^n_simulations must be >= 1$"):
        tw.simulate_portfolio_mc(RETURNS, WEIGHTS, CORR, 100.0, 0, 5)


SCRIPT = """
import numpy as np, sys
from tarnwick import _tarnwick as tw
rng = np.random.default_rng(0)
returns = [rng.normal(0.001, 0.02, 300) for _ in range(3)]
corr = [np.array([1.0, 0.2, 0.1]), np.array([0.2, 1.0, 0.3]), np.array([0.1, 0.3, 1.0])]
d = tw.simulate_portfolio_mc(returns, np.array([0.4, 0.4, 0.2]), corr, 1e6, 1000, 30, 99)
sys.stdout.write(d["final_values"].tobytes().hex() + repr([d[k] for k in list(d)[2:]]) + repr(d["percentile_paths"]))
"""


@pytest.mark.parametrize("fewer, more", [(30, 64), (64, 65), (64, 200), (100, 130)])
def test_a_run_of_more_paths_keeps_every_path_of_a_run_of_fewer(fewer, more):
    # Block b is the stream jumped ahead b times, whatever the number of paths asked for.
    small = tw.simulate_portfolio_mc(RETURNS, WEIGHTS, CORR, 1000.0, fewer, 5, 11)["final_values"]
    large = tw.simulate_portfolio_mc(RETURNS, WEIGHTS, CORR, 1000.0, more, 5, 11)["final_values"]
    assert len(np.unique(large)) == more and np.isin(small, large).all()
    assert f"fixed blocks of {PATHS_PER_STREAM}," in " ".join(tw.simulate_portfolio_mc.__doc__.split())


def test_same_seed_same_result_whatever_the_worker_count():
    # The seed's own effect is fixed bit for bit by the replay above.
    outputs = outputs_under_worker_counts(SCRIPT, ("1", "3", "8"))
    assert outputs[0] and len(set(outputs)) == 1


def test_other_threads_run_while_paths_are_simulated():
    assert ticks_inside(lambda: tw.simulate_portfolio_mc(RETURNS, WEIGHTS, CORR, 1.0, 8000, 252, 3)) > 100
