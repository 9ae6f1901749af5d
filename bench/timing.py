"""Timing helpers shared by the benchmarks: best of several runs, contenders timed in turn,
the processors at hand, and the check that a peer did the same work as we did before a
ratio of the two timings is printed."""

import os
import time

import numpy as np


def best_of(fn, repeat=5):
    """The shortest wall time of `repeat` calls of `fn`, in seconds."""
    best = float("inf")
    for _ in range(repeat):
        t = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t)
    return best


def alternating_bests(fns, rounds):
    """The best wall time of each of `fns`, in seconds. Each is called once untimed first
    (caches, the pool and first-use set-up such as a peer's compilation), then all are
    called in turn for `rounds` rounds, so that every contender meets the same spells of
    load on a shared machine."""
    for fn in fns:
        fn()
    best = [float("inf")] * len(fns)
    for _ in range(rounds):
        for k, fn in enumerate(fns):
            t = time.perf_counter()
            fn()
            best[k] = min(best[k], time.perf_counter() - t)
    return best


def cores():
    """The processors this process may run on."""
    return len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()


def same_work(what, ours, peer, rtol=0.0, atol=0.0):
    """Ends the bench, before any ratio is printed, unless our result and the peer's agree
    within the tolerances (elementwise for arrays, NaN matching NaN): a ratio of the times
    of two runs that computed different things measures nothing."""
    a, b = np.asarray(ours, dtype=np.float64), np.asarray(peer, dtype=np.float64)
    if a.shape == b.shape and np.allclose(a, b, rtol=rtol, atol=atol, equal_nan=True):
        return
    if a.shape != b.shape:
        detail = f"shapes {a.shape} and {b.shape}"
    else:
        worst = int(np.nanargmax(np.where(np.isnan(a) == np.isnan(b), np.abs(a - b), np.inf)))
        detail = f"at {np.unravel_index(worst, a.shape) if a.ndim > 1 else worst}: ours {float(a.flat[worst])!r}, " \
                 f"peer {float(b.flat[worst])!r}"
    raise SystemExit(f"DIFFERENT WORK, no ratio printed: {what} differ beyond rtol={rtol:g}, atol={atol:g} "
                     f"({detail})")
