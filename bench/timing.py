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


def child_bests(argv, worker_counts, processes=4):
    """Runs `argv` (a command that prints a time in seconds, a digest of its results and
    possibly more) in fresh interpreters with the pool held to each worker count in turn,
    `processes` rounds of them, the counts alternating so that both sides meet the same
    spells of load. A process keeps its pool size for life, and one process can spend its
    whole life on a slow spell of a shared machine, so each side's time is the best over
    its processes. Returns {workers: (best seconds, set of digests, best line's fields)}."""
    import subprocess

    out = {w: (float("inf"), set(), []) for w in worker_counts}
    for _ in range(processes):
        for w in worker_counts:
            env = dict(os.environ, RAYON_NUM_THREADS=str(w))
            fields = subprocess.run(argv, env=env, capture_output=True, text=True, check=True).stdout.split()
            best, digests, best_fields = out[w]
            digests.add(fields[1])
            if float(fields[0]) < best:
                best, best_fields = float(fields[0]), fields
            out[w] = (best, digests, best_fields)
    return out
