"""estimate_covariance against scikit-learn's ledoit_wolf, timed in the same run.

ledoit_wolf shrinks toward a scaled identity, about a third of the arithmetic of our
constant-correlation target; it is the estimator a quant would reach for instead. Its
matrix products run on NumPy's BLAS with its default threads, in a child process whose
environment lacks OPENBLAS_CORETYPE and OPENBLAS_L2_SIZE (set on some machines for old
OpenBLAS builds, they slow a current one); everything else is inherited. Ours uses the
worker pool (RAYON_NUM_THREADS, else every processor).

The two sides alternate over several rounds so that both see the same machine state; each
prints its best time, and the ratio is ours / ledoit_wolf (at or below 1.0: as fast).

The targets differ, so the two matrices do; what both must share is the sample covariance
(divisor T) they shrink. Before any timing the peer's matrix, with its identity target
and intensity taken back out, must give our diagonal and, under our intensity and
constant-correlation target, our whole matrix, to 1e-9; otherwise the bench stops before
it prints a ratio.

`--threads N` runs both sides on N threads (RAYON_NUM_THREADS for ours, OPENBLAS_NUM_THREADS
for the peer): on a machine busy with other work, one thread each compares the arithmetic
itself, free of the scheduling noise.
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time

import numpy as np
from timing import same_work

import tarnwick as tw

SHAPES = [(2000, 500), (5000, 1000)]
ROUNDS = 4
REPEATS = 5
HIDDEN = ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE")

PEER = """
import json, sys, time
import numpy as np
from sklearn.covariance import ledoit_wolf
x = np.load(sys.argv[1])
cov, shrinkage = ledoit_wolf(x)
if len(sys.argv) > 3:
    np.save(sys.argv[3], cov)
best = float("inf")
for _ in range(int(sys.argv[2])):
    t0 = time.perf_counter()
    ledoit_wolf(x)
    best = min(best, time.perf_counter() - t0)
print(json.dumps([best, shrinkage]))
"""


def panel(t, n, seed=3):
    """Daily-like returns: one market factor with uneven loadings plus idiosyncratic noise."""
    rng = np.random.default_rng(seed)
    market = rng.normal(0.0004, 0.01, t)
    return np.outer(market, rng.uniform(0.3, 1.5, n)) + rng.normal(0.0, 0.015, (t, n))


def peer_best(path, threads, matrix_path=None):
    """The peer's best time, and its shrinkage intensity; its matrix is saved to
    `matrix_path` when one is given."""
    env = {k: v for k, v in os.environ.items() if k not in HIDDEN}
    if threads:
        env["OPENBLAS_NUM_THREADS"] = str(threads)
    args = [sys.executable, "-c", PEER, path, str(REPEATS)] + ([matrix_path] if matrix_path else [])
    out = subprocess.run(args, env=env, capture_output=True, text=True, check=True)
    return json.loads(out.stdout)


def check_same_sample_covariance(model, peer_cov, peer_shrinkage, shape):
    """Stops the bench unless the peer's matrix and ours shrink one sample covariance."""
    n = len(peer_cov)
    mu = np.trace(peer_cov) / n  # the identity target's scale: the mean variance
    sample = (peer_cov - peer_shrinkage * mu * np.eye(n)) / (1.0 - peer_shrinkage)
    ours = model.cov()
    same_work(f"{shape}: variances (our diagonal, the peer's sample)", np.diag(ours), np.diag(sample), rtol=1e-9)
    sd = np.sqrt(np.diag(sample))
    r = sample / np.outer(sd, sd)
    mean_r = (r.sum() - n) / (n * (n - 1))
    target = mean_r * np.outer(sd, sd)
    np.fill_diagonal(target, np.diag(sample))
    rebuilt = model.shrinkage_intensity * target + (1.0 - model.shrinkage_intensity) * sample
    same_work(f"{shape}: our matrix from the peer's sample covariance", ours, rebuilt, rtol=1e-9,
              atol=1e-12 * np.abs(ours).max())


def ours_best(x, ids):
    best = float("inf")
    for _ in range(REPEATS):
        t0 = time.perf_counter()
        tw.estimate_covariance(x, ids, 252.0)
        best = min(best, time.perf_counter() - t0)
    return best


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--threads", type=int, default=0, help="threads for both sides (default: their own)")
    threads = parser.parse_args().threads
    if threads:
        os.environ["RAYON_NUM_THREADS"] = str(threads)  # read when the pool is first used, below
    print(f"best of {ROUNDS} rounds x {REPEATS} repeats; ledoit_wolf without {', '.join(HIDDEN)}; "
          f"threads: {threads or 'default'}; both shrink the same sample covariance (to 1e-9)")
    print(f"{'shape':<14}{'ours ms':>10}{'ledoit_wolf ms':>16}{'ratio':>8}")
    with tempfile.TemporaryDirectory() as tmp:
        for t, n in SHAPES:
            x = panel(t, n)
            ids = [f"a{i}" for i in range(n)]
            path = os.path.join(tmp, f"panel_{t}x{n}.npy")
            np.save(path, x)
            model = tw.estimate_covariance(x, ids, 252.0)  # the pool's first use
            matrix_path = os.path.join(tmp, f"peer_{t}x{n}.npy")
            peer, shrinkage = peer_best(path, threads, matrix_path)
            check_same_sample_covariance(model, np.load(matrix_path), shrinkage, f"{t} x {n}")
            ours = float("inf")
            for _ in range(ROUNDS):
                peer = min(peer, peer_best(path, threads)[0])
                ours = min(ours, ours_best(x, ids))
            print(f"{f'{t} x {n}':<14}{ours * 1e3:>10.1f}{peer * 1e3:>16.1f}{ours / peer:>8.2f}")


if __name__ == "__main__":
    main()
