"""optimize_portfolio against the clarabel wheel and cvxpy + Clarabel; the batch's scaling.

Per universe size n: one long-only book (ten sectors, a turnover penalty, 5% cash
allowed) on a covariance estimated from a five-factor return panel. Timed, best of
several, all in this one run:

- ours: the whole `optimize_portfolio` call from Python (checks, problem, solve,
  snapping);
- the wheel: `clarabel.DefaultSolver(...)` plus `solve()` with its default settings
  (printing off) on the very same problem, its matrices built beforehand and not
  timed; its weights must equal ours to 1e-9;
- cvxpy: the book written as a quant would (quad_form, norm1 turnover), built and
  solved with Clarabel on every repetition; its weights, from another form of the same
  problem, must equal ours to 1e-7. The column is skipped when cvxpy is not installed.

A peer whose weights differ by more stops the bench before it prints that ratio, and so
does a batch whose results differ from the processes' (see ceiling.py).

Ratios below 1 mean ours is faster. The batch part runs 64 books of n = 100 on 8 workers
against the machine's own ceiling, eight single-worker processes each solving an eighth
of the books, started together after their set-up (see ceiling.py); it prints both wall
times and their ratio (goal <= 1.1) and whether both sides returned the same bits. The
load average is printed: other work on the machine moves every number, ratios within one
run less so.
"""

import hashlib
import os

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import time  # noqa: E402

import numpy as np  # noqa: E402
import scipy.sparse as sp  # noqa: E402

import clarabel  # noqa: E402
import tarnwick as tw  # noqa: E402
from ceiling import measure  # noqa: E402
from timing import same_work  # noqa: E402

try:
    import cvxpy as cp  # noqa: E402
except ImportError:  # bench-only peer
    cp = None

SIZES = (20, 100, 500, 1000)
SECTORS = 10
BATCH_ITEMS = 64
BATCH_N = 100


def book(n, seed=0):
    rng = np.random.default_rng(seed)
    obs = max(n + 250, 2 * SECTORS)
    factors = rng.normal(0.0, 0.01, (obs, 5))
    returns = factors @ rng.normal(0.0, 0.5, (5, n)) + rng.normal(0.0, 0.01, (obs, n))
    ids = [f"A{i}" for i in range(n)]
    model = tw.estimate_covariance(returns, ids, 252.0)
    alpha = rng.normal(0.0, 0.002, n)
    current = rng.dirichlet(np.ones(n)) * 0.97
    config = tw.OptimizerConfig(5.0, 0.0005, max(3.0 / n, 0.02), [i % SECTORS for i in range(n)],
                                [0.3] * SECTORS, cash_max=0.05)
    return model, ids, alpha, current, config


def wheel_problem(cov, alpha, current, config):
    """The optimiser's quadratic program: variables (w, t), rows A x <= b."""
    n = len(alpha)
    eye, zero = sp.identity(n, format="csr"), sp.csr_matrix((n, n))
    ones, zrow = sp.csr_matrix(np.ones((1, n))), sp.csr_matrix((1, n))
    sectors = sp.csr_matrix(np.array([[sid == s for sid in config.sector_ids] for s in range(SECTORS)], float))
    a = sp.vstack([sp.hstack([ones, zrow]), sp.hstack([-ones, zrow]), sp.hstack([-eye, zero]),
                   sp.hstack([eye, zero]), sp.hstack([sectors, sp.csr_matrix((SECTORS, n))]),
                   sp.hstack([eye, -eye]), sp.hstack([-eye, -eye])]).tocsc()
    b = np.concatenate([[1.0, -(1.0 - config.cash_max)], np.full(n, config.short_cap),
                        np.full(n, config.position_cap), config.sector_caps, current, -current])
    p = sp.block_diag([sp.csc_matrix(np.triu(2.0 * config.risk_aversion * cov)), sp.csc_matrix((n, n))],
                      format="csc")
    q = np.concatenate([-alpha, np.full(n, config.turnover_penalty)])
    return p, q, a, b


def best_of(fn, repeat):
    best, out = float("inf"), None
    for _ in range(repeat):
        t = time.perf_counter()
        out = fn()
        best = min(best, time.perf_counter() - t)
    return best, out


def single(n):
    model, ids, alpha, current, config = book(n)
    cov = model.cov()
    p, q, a, b = wheel_problem(cov, alpha, current, config)
    settings = clarabel.DefaultSettings()
    settings.verbose = False
    repeat = 9 if n <= 100 else 5 if n <= 500 else 3

    def ours():
        return tw.optimize_portfolio(model, alpha, current, ids, config)

    def wheel():
        return clarabel.DefaultSolver(p, q, a, b, [clarabel.NonnegativeConeT(len(b))], settings).solve()

    def modelled():
        w = cp.Variable(n)
        sector_rows = np.array([[sid == s for sid in config.sector_ids] for s in range(SECTORS)], float)
        objective = (config.risk_aversion * cp.quad_form(w, cp.psd_wrap(cov)) - alpha @ w
                     + config.turnover_penalty * cp.norm1(w - current))
        constraints = [cp.sum(w) <= 1.0, cp.sum(w) >= 1.0 - config.cash_max, w >= 0.0,
                       w <= config.position_cap, sector_rows @ w <= np.array(config.sector_caps)]
        cp.Problem(cp.Minimize(objective), constraints).solve(solver=cp.CLARABEL)
        return w.value

    t_ours, r = best_of(ours, repeat)
    t_wheel, sol = best_of(wheel, repeat)
    # The optimiser clears the solver's tiny negatives (rounding at the lower bounds).
    wheel_w = np.asarray(sol.x[:n])
    wheel_w = np.where((wheel_w > -1e-9) & (wheel_w < 0.0), 0.0, wheel_w)
    same_work(f"n={n}: weights of the wheel", r.weights(), wheel_w, atol=1e-9)
    diff = np.max(np.abs(wheel_w - r.weights()))
    line = (f"n={n:5d}: ours {t_ours * 1e3:9.2f} ms, wheel {t_wheel * 1e3:9.2f} ms, ours/wheel "
            f"{t_ours / t_wheel:5.2f} (max |dw| {diff:.1e})")
    if cp is not None:
        t_cvx, w = best_of(modelled, repeat)
        same_work(f"n={n}: weights of cvxpy", r.weights(), w, atol=1e-7)
        line += (f"; cvxpy {t_cvx * 1e3:9.2f} ms, ours/cvxpy {t_ours / t_cvx:5.2f} "
                 f"(max |dw| {np.max(np.abs(w - r.weights())):.1e})")
    else:
        line += "; cvxpy not installed, column skipped"
    print(line, flush=True)


def batch_prepare(lo, hi):
    model, _, _, _, config = book(BATCH_N, seed=5)
    rng = np.random.default_rng(11)
    items = [tw.OptimizeItem(f"u{k}", rng.normal(0.0, 0.002, BATCH_N), rng.dirichlet(np.ones(BATCH_N)) * 0.97)
             for k in range(BATCH_ITEMS)]
    return model, items[lo:hi], config


def batch_run(state):
    model, items, config = state
    return tw.batch_optimize_portfolios(model, items, config)


def batch_digest(results):
    return [hashlib.sha256(item_id.encode() + r.weights().tobytes() + repr(r.objective).encode()).hexdigest()
            for item_id, r in results]


def batch():
    ceiling = measure(batch_prepare, batch_run, batch_digest, BATCH_ITEMS)
    print(ceiling.line(f"batch_optimize_portfolios {BATCH_ITEMS} items x n={BATCH_N}"), flush=True)


def main():
    print(f"load average {os.getloadavg()[0]:.1f}; {os.cpu_count()} cores", flush=True)
    for n in SIZES:
        single(n)
    batch()


if __name__ == "__main__":
    main()
