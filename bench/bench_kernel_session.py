"""Per-step cost of KernelSession.step against an empty Python loop of the same length.

The loop steps 10**6 bars that produce no events; the figure printed is the overhead per
step above the bare loop, the number a Python strategy loop pays for the engine.
"""

import time

from tarnwick import KernelSession

N = 1_000_000


def empty_loop(n):
    t = time.perf_counter()
    for i in range(n):
        pass
    return time.perf_counter() - t


def session_loop(n):
    s = KernelSession("BENCH")
    step = s.step
    t = time.perf_counter()
    for i in range(n):
        step(i, i, 100.0, 100.0, 100.0, 100.0, 1.0)
    elapsed = time.perf_counter() - t
    s.finish()
    return elapsed


def main():
    base = min(empty_loop(N) for _ in range(3))
    run = min(session_loop(N) for _ in range(3))
    per_step_us = (run - base) / N * 1e6
    print(f"KernelSession.step: {run / N * 1e9:.0f} ns/step, empty loop {base / N * 1e9:.0f} ns/iter, "
          f"overhead {per_step_us:.3f} us/step (goal <= 1 us), ratio {run / base:.1f}x")


if __name__ == "__main__":
    main()
