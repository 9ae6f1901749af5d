"""Timing helpers shared by the benchmarks: best of several runs, contenders timed in turn,
the processors at hand."""

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
