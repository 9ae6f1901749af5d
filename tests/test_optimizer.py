import math

import clarabel
import numpy as np
import pytest
import scipy.sparse as sp

import tarnwick as tw
from portfolio_models import diagonal_model


def config(n, **kw):
    args = dict(risk_aversion=10.0, turnover_penalty=0.0, position_cap=1.0, sector_ids=[0] * n, sector_caps=[1.0])
    args.update(kw)
    return tw.OptimizerConfig(**args)


MODEL3, IDS3 = diagonal_model([1e-4, 1e-4, 1e-4])
ALPHA3 = np.array([0.001, 0.0005, 0.0006])
# 2 lambda s w_i - alpha_i + mu = 0 and sum w = 1 give
# w_i = 1/3 + (alpha_i - mean alpha) / (2 lambda s) = 1/3 + (0.15, -0.10, -0.05).
W3 = np.array([1 / 3 + 0.15, 1 / 3 - 0.10, 1 / 3 - 0.05])


def test_fully_invested_book_by_hand():
    r = tw.optimize_portfolio(MODEL3, ALPHA3, np.zeros(3), IDS3, config(3))
    np.testing.assert_allclose(r.weights(), W3, atol=1e-7)
    np.testing.assert_allclose(r.trades(), W3, atol=1e-7)
    assert r.snapped == [False, False, False]
    # lambda s sum w^2 - alpha'w = 10 * 1e-4 * 0.3683333 - 0.00077 = -0.00040166...
    assert r.objective == pytest.approx(10 * 1e-4 * (W3 @ W3) - ALPHA3 @ W3, abs=1e-9)
    assert r.vol_annualized == pytest.approx(math.sqrt(252 * 1e-4 * (W3 @ W3)), rel=1e-6)
    assert r.turnover == pytest.approx(0.5, abs=1e-8)
    assert r.net_exposure == pytest.approx(1.0, abs=1e-8)
    assert r.gross_exposure == pytest.approx(1.0, abs=1e-8)
    assert r.cash == pytest.approx(0.0, abs=1e-8) and r.cash >= 0.0
    assert r.solver_status == "Solved" and r.iterations > 0
    assert repr(r) == (f"PyOptimizationResult(turnover={r.turnover:.4f}, cash={r.cash:.4f}, "
                       f"vol_annualized={r.vol_annualized:.4f}, status=Solved)")


@pytest.mark.parametrize("penalty, shift", [
    # Moving d from asset 1 to asset 0 from (0.5, 0.5): 4 lambda s d = (a0 - a1) - 2 penalty,
    # so d = (0.0005 - 0.0002) / 0.004 = 0.075 at penalty 0.0001, and none once 2 penalty > 0.0005.
    (0.0, 0.125),
    (0.0001, 0.075),
])
def test_turnover_penalty_shrinks_the_trade(penalty, shift):
    model, ids = diagonal_model([1e-4, 1e-4])
    r = tw.optimize_portfolio(model, np.array([0.001, 0.0005]), np.array([0.5, 0.5]), ids,
                              config(2, turnover_penalty=penalty))
    # The objective is flat at this scale: the solver's tolerance leaves weights good to ~1e-5.
    np.testing.assert_allclose(r.weights(), [0.5 + shift, 0.5 - shift], atol=1e-4)


def test_position_cap_binds():
    # Asset 0 held at its 0.48 cap; the other two share 0.52 with w1 - w2 = -0.05.
    r = tw.optimize_portfolio(MODEL3, ALPHA3, np.zeros(3), IDS3, config(3, position_cap=0.48))
    np.testing.assert_allclose(r.weights(), [0.48, 0.235, 0.285], atol=1e-4)


def test_band_larger_than_every_change_returns_the_current_book():
    current = np.array([0.3, 0.3, 0.3])
    r = tw.optimize_portfolio(MODEL3, ALPHA3, current, IDS3, config(3, no_trade_band=1.0))
    assert r.weights().tobytes() == current.tobytes()
    assert list(r.trades()) == [0.0, 0.0, 0.0] and r.turnover == 0.0
    assert r.snapped == [True, True, True]
    assert r.cash == pytest.approx(0.1)


def test_minimum_trade_value_snaps_small_trades():
    # 0.0005 of a 1e6 book is 500 < 1000: snapped; 0.002 (2000) and 0.0015 (1500) trade.
    current = W3 + np.array([-0.002, -0.0005, 0.0015])
    cfg = config(3, min_trade_value=1000.0, portfolio_value=1e6, cash_max=0.01)
    r = tw.optimize_portfolio(MODEL3, ALPHA3, current, IDS3, cfg)
    assert r.snapped == [False, True, False]
    assert r.weights()[1] == current[1]
    np.testing.assert_allclose(r.trades(), [0.002, 0.0, -0.0015], atol=1e-7)
    assert r.cash == pytest.approx(0.0005, abs=1e-7)
    # The objective is the solver's, at the unsnapped optimum.
    assert r.objective == pytest.approx(10 * 1e-4 * (W3 @ W3) - ALPHA3 @ W3, abs=1e-9)


@pytest.mark.parametrize("kw, alpha, current, message", [
    # A reduction of an over-cap holding is snapped while the others trade.
    (dict(position_cap=0.48, no_trade_band=0.01), ALPHA3, [0.485, 0.1, 0.4],
     "infeasible constraints: post-snap weight 0.485000 on asset 0 exceeds position_cap" + " " * 18
     + "0.480000; the no-trade band snapped a trade that was reducing" + " " * 18
     + "it -- lower the band, raise the cap, or accept the trades"),
    # A purchase of 0.004 is snapped: the book ends 0.4% in cash with cash_max 0.
    (dict(no_trade_band=0.005), ALPHA3, list(W3 + np.array([-0.004, 0.104, -0.1])),
     "infeasible constraints: post-snap cash 0.004000 outside [0, 0.000000]; snapping stranded 0.004000 of "
     "weight -- widen cash_max, lower the band, or accept the trades"),
    # Equal alphas want 1/3 each; sector 0 = {0, 1} capped at 0.6 gives (0.3, 0.3, 0.4).
    # Asset 0's cut of 0.005 is snapped, leaving the sector at 0.605.
    (dict(sector_ids=[0, 0, 1], sector_caps=[0.6, 1.0], no_trade_band=0.01), np.full(3, 0.001), [0.305, 0.35, 0.345],
     "infeasible constraints: post-snap sector 0 exposure 0.605000 exceeds its cap" + " " * 22
     + "0.600000; snapping stranded weight in the sector -- lower" + " " * 22
     + "the band, raise the cap, or accept the trades"),
])
def test_snapping_that_breaks_a_limit_is_refused(kw, alpha, current, message):
    with pytest.raises(ValueError) as e:
        tw.optimize_portfolio(MODEL3, alpha, np.array(current), IDS3, config(3, **kw))
    assert str(e.value) == message


MODEL5, IDS5 = diagonal_model([1e-4, 2e-4, 3e-4, 4e-4, 5e-4])
A5 = np.full(5, 0.001)
Z5 = np.zeros(5)


def refused(alpha=A5, current=Z5, **kw):
    with pytest.raises(ValueError) as e:
        tw.optimize_portfolio(MODEL5, np.asarray(alpha, dtype=float), np.asarray(current, dtype=float), IDS5,
                              config(5, **kw))
    return str(e.value)


@pytest.mark.parametrize("args, message", [
    (dict(alpha=A5[:4]), "shape mismatch: model has 5 assets; alpha has 4, w_current has 5"),
    (dict(alpha=[0, 0, math.nan, 0, 0]), "non-finite value at row 0, col 2"),
    (dict(current=[0, 0, math.nan, 0, 0]), "non-finite value at row 1, col 2"),
    (dict(current=[0, -1e-11, 0, 0, 0]),
     "degenerate input: w_current[1] = -0.00000000001 is negative; this optimizer is long-only unless short_cap > 0"),
    (dict(current=[0.2, 0.2, 0.2, 0.2, 0.20001]), "degenerate input: w_current sums to 1.000010, which exceeds 1"),
    (dict(short_cap=-0.1), "degenerate input: short_cap must be in [0, 1], got -0.1"),
    (dict(short_cap=0.2, gross_max=0.0), "degenerate input: gross_max must be > 0 in long/short mode, got 0"),
    (dict(short_cap=0.2, net_min=1.2),
     "degenerate input: net bounds must be finite with net_min <= net_max, got [1.2, 1]"),
    (dict(short_cap=0.2, net_min=1.2, net_max=1.5),
     "infeasible constraints: net bounds [1.2, 1.5] lie outside the gross budget 1"),
    (dict(risk_aversion=0.0), "degenerate input: risk_aversion must be > 0, got 0"),
    (dict(turnover_penalty=-0.5), "degenerate input: turnover_penalty must be >= 0, got -0.5"),
    (dict(position_cap=0.0), "degenerate input: position_cap must be in (0, 1], got 0"),
    (dict(cash_max=1.0), "degenerate input: cash_max must be in [0, 1), got 1"),
    (dict(no_trade_band=math.nan), "degenerate input: no_trade_band and min_trade_value must be >= 0"),
    (dict(min_trade_value=1000.0), "degenerate input: min_trade_value set but portfolio_value is 0"),
    (dict(sector_ids=[0] * 4), "shape mismatch: 4 sector_ids for 5 assets"),
    (dict(sector_caps=[]), "shape mismatch: sector_ids[0] = 0 out of range for 0 sector_caps"),
    (dict(sector_caps=[1.0, 0.0]), "degenerate input: sector_caps[1] must be > 0, got 0"),
    (dict(position_cap=0.1),
     "infeasible constraints: position_cap 0.1 x 5 assets = 0.5000 cannot reach required investment 1.0000"),
    (dict(sector_caps=[0.3, 0.3], position_cap=0.5, cash_max=0.2),
     "infeasible constraints: sector caps admit at most 0.3000 invested, below required 0.8000"),
    (dict(max_iter=1), "solver failed: status MaxIterations after 1 iterations"),
])
def test_validation_messages(args, message):
    assert refused(**args) == message


def test_certified_infeasibility():
    # Two assets may each be at most 10% short, yet the net exposure must be at most -50%.
    model, ids = diagonal_model([1e-4, 1e-4])
    cfg = config(2, short_cap=0.1, gross_max=1.0, net_min=-0.6, net_max=-0.5)
    with pytest.raises(ValueError, match=r"^infeasible constraints: solver certified primal infeasibility "
                                         r"\((Almost)?PrimalInfeasible\)$"):
        tw.optimize_portfolio(model, np.array([0.001, 0.001]), np.zeros(2), ids, cfg)


def test_asset_ids_are_checked_before_the_arrays():
    with pytest.raises(ValueError) as e:
        tw.optimize_portfolio(MODEL3, ALPHA3[:2], np.zeros(3), ["S1", "S0", "S2"], config(3))
    assert str(e.value) == "asset ids mismatch: position 0: model 'S0' vs caller 'S1'"
    with pytest.raises(ValueError) as e:
        tw.optimize_portfolio(MODEL3, ALPHA3, np.zeros(3), IDS3[:2], config(3))
    assert str(e.value) == "asset ids mismatch: model has 3 assets, caller supplied 2"


def test_a_model_read_in_place_still_names_its_argument():
    with pytest.raises(TypeError, match="argument 'model'"):
        tw.optimize_portfolio(None, ALPHA3, np.zeros(3), IDS3, None)


# ---------------------------------------------------------------------------
# The same problem handed to the reference solver's own Python wheel.

def reference_weights(cov, alpha, current, cfg):
    n, ls = len(alpha), cfg.short_cap > 0
    eye, zero, one, zrow = np.eye(n), np.zeros((n, n)), np.ones((1, n)), np.zeros((1, n))
    sectors = np.array([[sid == s for sid in cfg.sector_ids] for s in range(len(cfg.sector_caps))], float)

    def row(w, t, g):  # coefficients on (w, t) and, long/short only, g
        return np.hstack([w, t, g] if ls else [w, t])

    hi, lo = (cfg.net_max, cfg.net_min) if ls else (1.0, 1.0 - cfg.cash_max)
    blocks = [(row(one, zrow, zrow), [hi]), (row(-one, zrow, zrow), [-lo]),
              (row(-eye, zero, zero), [cfg.short_cap] * n), (row(eye, zero, zero), [cfg.position_cap] * n),
              (row(0 * sectors, 0 * sectors, sectors) if ls else row(sectors, 0 * sectors, None), cfg.sector_caps),
              (row(eye, -eye, zero), current), (row(-eye, -eye, zero), -current)]
    if ls:
        blocks += [(row(eye, zero, -eye), [0.0] * n), (row(-eye, zero, -eye), [0.0] * n),
                   (row(zrow, zrow, one), [cfg.gross_max])]
    A = np.vstack([a for a, _ in blocks])
    b = np.concatenate([np.asarray(v, dtype=float) for _, v in blocks])
    nv = A.shape[1]
    P = np.zeros((nv, nv))
    P[:n, :n] = 2 * cfg.risk_aversion * cov
    q = np.zeros(nv)
    q[:n], q[n:2 * n] = -alpha, cfg.turnover_penalty
    settings = clarabel.DefaultSettings()
    settings.verbose = False
    settings.max_iter = cfg.max_iter
    settings.tol_gap_abs = settings.tol_gap_rel = settings.tol_feas = cfg.tolerance
    settings.max_threads = 1  # as ours: the factorisation's rounding depends on its thread count
    sol = clarabel.DefaultSolver(sp.csc_matrix(np.triu(P)), q, sp.csc_matrix(A), b,
                                 [clarabel.NonnegativeConeT(len(b))], settings).solve()
    assert str(sol.status) == "Solved"
    return np.array(sol.x[:n]), sol.obj_val


def random_book(seed, n=6):
    rng = np.random.default_rng(seed)
    returns = rng.normal(0.0, 0.01, (120, n)) + np.outer(rng.normal(0, 0.01, 120), rng.uniform(0.2, 1.2, n))
    ids = [f"R{i}" for i in range(n)]
    model = tw.estimate_covariance(returns, ids, 252.0)
    alpha = rng.normal(0.0, 0.002, n)
    current = rng.dirichlet(np.ones(n)) * 0.95
    return model, ids, alpha, current


def cleared(x):
    """The optimiser's rule for the solver's weights: tiny negatives are rounding."""
    return np.where((x > -1e-9) & (x < 0.0), 0.0, x)


# 6 assets factor with the solver's simplicial LDL; 160, whose covariance block makes the
# KKT system nearly dense, with its supernodal one. The solver, the problem and the
# settings are the same, so the answers are the same to the bit.
@pytest.mark.parametrize("seed", range(4))
@pytest.mark.parametrize("n, sector_ids", [
    (6, [0, 1, 0, 1, 2, 2]),
    (160, [i % 3 for i in range(160)]),
])
@pytest.mark.parametrize("mode", [
    dict(),
    dict(short_cap=0.25, gross_max=1.6, net_min=0.2, net_max=1.0),
])
def test_agrees_with_the_reference_solver(seed, n, sector_ids, mode):
    model, ids, alpha, current = random_book(seed, n)
    cfg = tw.OptimizerConfig(5.0, 0.0005, 0.4, sector_ids, [0.7, 0.6, 0.5], cash_max=0.05, **mode)
    r = tw.optimize_portfolio(model, alpha, current, ids, cfg)
    want, objective = reference_weights(model.cov(), alpha, current, cfg)
    np.testing.assert_array_equal(r.weights(), cleared(want))
    assert r.objective == objective
    np.testing.assert_allclose(r.trades(), r.weights() - current, atol=0)


