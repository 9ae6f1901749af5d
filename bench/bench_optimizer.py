"""optimize_portfolio against the clarabel wheel and cvxpy + Clarabel; the batch's scaling.

Per universe size n: one long-only book (ten sectors, a turnover penalty, 5% cash
allowed) on a covariance estimated from a five-factor return panel. Timed, best of
several, all in this one run:

- ours: the whole `optimize_portfolio` call from Python (checks, problem, solve,
  snapping);
- the wheel: `clarabel.DefaultSolver(...)` plus `solve()` with its default settings
  (printing off) on the very same problem, its matrices built beforehand and not
  timed; the largest weight difference to ours is printed to show it is the same
  problem;
- cvxpy: the book written as a quant would (quad_form, norm1 turnover), built and
  solved with Clarabel on every repetition. The column is skipped when cvxpy is not
  installed.

Ratios below 1 mean ours is faster. The batch part runs 64 books of n = 100 in child
processes with 1 and with 8 workers (RAYON_NUM_THREADS), four of each taken in turn, best
of 5 calls inside each and best over the processes (a process can spend its whole life on
a slow spell of a shared machine), and prints the speed-up over the worker count (goal >=
0.85), the CPU time the two best runs took (equal when the items share nothing), and
whether every run returned the same bits. The load average is printed: other work on the
machine moves every number, ratios within one run less so.
"""

import hashlib
import os
import sys

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import time  # noqa: E402

import numpy as np  # noqa: E402
import scipy.sparse as sp  # noqa: E402

import clarabel  # noqa: E402
import tarnwick as tw  # noqa: E402
from timing import child_bests  # noqa: E402

try:
    import cvxpy as cp  # noqa: E402
except ImportError:  # bench-only peer
    cp = None

SIZES = (20, 100, 500, 1000)
SECTORS = 10
BATCH_ITEMS = 64
BATCH_N = 100
BATCH_WORKERS = 8


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
    diff = np.max(np.abs(wheel_w - r.weights()))
    line = (f"n={n:5d}: ours {t_ours * 1e3:9.2f} ms, wheel {t_wheel * 1e3:9.2f} ms, ours/wheel "
            f"{t_ours / t_wheel:5.2f} (max |dw| {diff:.1e})")
    if cp is not None:
        t_cvx, w = best_of(modelled, repeat)
        line += (f"; cvxpy {t_cvx * 1e3:9.2f} ms, ours/cvxpy {t_ours / t_cvx:5.2f} "
                 f"(max |dw| {np.max(np.abs(w - r.weights())):.1e})")
    else:
        line += "; cvxpy not installed, column skipped"
    print(line, flush=True)


def batch_child():
    """Times the batch under this process's worker count; prints the best wall time, a
    digest of the results and the CPU time of that run (all threads)."""
    model, _, _, _, config = book(BATCH_N, seed=5)
    rng = np.random.default_rng(11)
    items = [tw.OptimizeItem(f"u{k}", rng.normal(0.0, 0.002, BATCH_N), rng.dirichlet(np.ones(BATCH_N)) * 0.97)
             for k in range(BATCH_ITEMS)]
    tw.batch_optimize_portfolios(model, items, config)  # the pool starts on first use
    best, out = (float("inf"), 0.0), None
    for _ in range(5):
        c0, t0 = os.times(), time.perf_counter()
        out = tw.batch_optimize_portfolios(model, items, config)
        wall, c1 = time.perf_counter() - t0, os.times()
        best = min(best, (wall, (c1.user - c0.user) + (c1.system - c0.system)))
    digest = hashlib.sha256()
    for item_id, r in out:
        digest.update(item_id.encode() + r.weights().tobytes() + repr(r.objective).encode())
    print(best[0], digest.hexdigest(), best[1])


def batch():
    runs = child_bests([sys.executable, __file__, "--batch-child"], (1, BATCH_WORKERS))
    (t1, d1, f1), (tk, dk, fk) = runs[1], runs[BATCH_WORKERS]
    c1, ck = float(f1[2]), float(fk[2])
    speedup = t1 / tk
    print(f"batch_optimize_portfolios {BATCH_ITEMS} items x n={BATCH_N}: 1 worker {t1 * 1e3:.1f} ms, "
          f"{BATCH_WORKERS} workers {tk * 1e3:.1f} ms, speed-up {speedup:.2f}x = {speedup / BATCH_WORKERS:.2f} "
          f"x workers (goal >= 0.85); CPU time {BATCH_WORKERS} workers / 1: {ck / c1:.2f} (1: no parallel "
          f"overhead, a shortfall is cores taken by other work); same bits: {len(d1 | dk) == 1}; "
          f"load average {os.getloadavg()[0]:.1f}", flush=True)


def main():
    print(f"load average {os.getloadavg()[0]:.1f}; {os.cpu_count()} cores", flush=True)
    for n in SIZES:
        single(n)
    batch()


if __name__ == "__main__":
    if sys.argv[1:] == ["--batch-child"]:
        batch_child()
    else:
        main()
