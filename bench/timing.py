"""Timing helpers shared by the benchmarks: best of several runs, the pool's size."""

import os
import time


def best_of(fn, repeat=5):
    """The shortest wall time of `repeat` calls of `fn`, in seconds."""
    best = float("inf")
    for _ in range(repeat):
        t = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t)
    return best


def cores():
    """The processors this process may run on."""
    return len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()


def pool_workers():
    """The worker count the pool takes from the environment, as the library reads it."""
    return int(os.environ.get("RAYON_NUM_THREADS") or os.environ.get("RAYON_RS_NUM_CPUS") or cores())
