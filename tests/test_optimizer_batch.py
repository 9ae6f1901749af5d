import textwrap

import numpy as np
import pytest

import tarnwick as tw
from pool_checks import outputs_under_worker_counts, ticks_inside
from portfolio_models import diagonal_model


def book(seed, n=8):
    rng = np.random.default_rng(seed)
    returns = rng.normal(0.0, 0.01, (150, n)) + np.outer(rng.normal(0, 0.01, 150), rng.uniform(0.2, 1.2, n))
    ids = [f"B{i}" for i in range(n)]
    return tw.estimate_covariance(returns, ids, 252.0), ids


MODEL, IDS = book(3)
N = len(IDS)


def cfg(**kw):
    return tw.OptimizerConfig(4.0, 0.0005, 0.3, [i % 2 for i in range(N)], [0.6, 0.6], cash_max=0.05, **kw)


def items(k, seed=1):
    rng = np.random.default_rng(seed)
    return [tw.OptimizeItem(f"u{i}", rng.normal(0, 0.002, N), rng.dirichlet(np.ones(N)) * 0.9) for i in range(k)]


def test_each_item_equals_its_own_optimisation_in_input_order():
    batch = items(12)
    out = tw.batch_optimize_portfolios(MODEL, batch, cfg())
    assert [item_id for item_id, _ in out] == [f"u{i}" for i in range(12)]
    rng = np.random.default_rng(1)
    for item_id, result in out:
        alpha, current = rng.normal(0, 0.002, N), rng.dirichlet(np.ones(N)) * 0.9
        alone = tw.optimize_portfolio(MODEL, alpha, current, IDS, cfg())
        assert result.weights().tobytes() == alone.weights().tobytes(), item_id
        assert (result.objective, result.iterations, result.cash) == (alone.objective, alone.iterations, alone.cash)


def test_empty_batch_and_tuples_of_items():
    assert tw.batch_optimize_portfolios(MODEL, [], cfg()) == []
    assert len(tw.batch_optimize_portfolios(MODEL, tuple(items(2)), cfg())) == 2


def test_first_failing_item_is_named():
    good = items(1)[0]
    # Both later items cannot be invested: u1 by its short alpha, u2 by a negative weight.
    bad_len = tw.OptimizeItem("u1", np.zeros(N - 1), np.zeros(N))
    bad_sign = tw.OptimizeItem("u2", np.zeros(N), -np.ones(N))
    with pytest.raises(ValueError) as e:
        tw.batch_optimize_portfolios(MODEL, [good, bad_len, bad_sign], cfg())
    assert str(e.value) == f"item 'u1': shape mismatch: model has {N} assets; alpha has {N - 1}, w_current has {N}"


def test_item_portfolio_value_replaces_the_configurations():
    # Equal alphas and variances want 1/4 each; from a book 0.003 off per asset each trade
    # is worth 3000 on 1e6 (below 5000: snapped) and 6000 on 2e6 (traded).
    model, _ = diagonal_model([1e-4] * 4)
    current = np.array([0.253, 0.247, 0.253, 0.247])
    config = tw.OptimizerConfig(10.0, 0.0, 1.0, [0] * 4, [1.0], min_trade_value=5000.0, portfolio_value=1e6)
    own = tw.OptimizeItem("own", np.full(4, 0.001), current, 2e6)
    default = tw.OptimizeItem("default", np.full(4, 0.001), current, None)
    (_, a), (_, b) = tw.batch_optimize_portfolios(model, [own, default], config)
    assert a.snapped == [False] * 4
    np.testing.assert_allclose(a.weights(), 0.25, atol=1e-6)
    assert b.snapped == [True] * 4 and b.weights().tobytes() == current.tobytes()


def test_items_are_snapshots_and_configs_are_read_per_call():
    alpha = np.full(N, 0.001)
    current = np.zeros(N)
    item = tw.OptimizeItem("x", alpha, current)
    alpha[:] = np.nan
    config = cfg()
    [(_, first)] = tw.batch_optimize_portfolios(MODEL, [item], config)
    assert np.all(first.weights() <= 0.3 + 1e-6)
    config.position_cap = 0.2
    [(_, second)] = tw.batch_optimize_portfolios(MODEL, [item], config)
    assert np.all(second.weights() <= 0.2 + 1e-6) and first.weights().max() > 0.2


def test_items_must_be_items():
    with pytest.raises(TypeError) as e:
        tw.batch_optimize_portfolios(MODEL, [1], cfg())
    assert "argument 'items': 'int' object cannot be converted to 'OptimizeItem'" in str(e.value)


# One batch under two pool sizes, each in a fresh interpreter (the pool is sized once).
SCRIPT = textwrap.dedent("""
    import hashlib
    import numpy as np
    import tarnwick as tw
    rng = np.random.default_rng(2)
    n = 10
    returns = rng.normal(0.0, 0.01, (200, n))
    model = tw.estimate_covariance(returns, [str(i) for i in range(n)], 252.0)
    cfg = tw.OptimizerConfig(3.0, 0.0002, 0.25, [0] * n, [1.0], cash_max=0.05)
    items = [tw.OptimizeItem(f"u{k}", rng.normal(0, 0.002, n), rng.dirichlet(np.ones(n))) for k in range(40)]
    h = hashlib.sha256()
    for item_id, r in tw.batch_optimize_portfolios(model, items, cfg):
        h.update(item_id.encode() + r.weights().tobytes() + r.trades().tobytes() + repr(r.objective).encode())
    print(h.hexdigest())
""")


def test_worker_count_does_not_change_results():
    one, four = outputs_under_worker_counts(SCRIPT)
    assert one == four and len(one) == 64


def test_other_threads_run_while_the_batch_works():
    many = items(400, seed=6)
    assert ticks_inside(lambda: tw.batch_optimize_portfolios(MODEL, many, cfg())) > 100
