"""A batch on the pool against the machine's own ceiling for it.

When all of a machine's cores are busy, each one runs slower than when it works alone
(shared caches, memory bandwidth, clock boost), in threads and in processes alike, so a
batch's speed-up over one worker measures the host as much as the pool. The ceiling a
pool can be held to is the same work split between as many single-worker processes as
the pool has workers: each process prepares its contiguous share of the items, then all
wait on one barrier and run their shares at the same instant. Their wall time runs from
the barrier until the last of them finishes; the pool's batch should take no more.

Both sides run in fresh interpreters (the pool is sized once per process) started by
multiprocessing's spawn method, which inherits the environment the pool size is read
from. The sides take turns, `rounds` times, so that both meet the same spells of load on
a shared machine; inside each process the timed call is repeated `repeat` times after
one untimed call (the pool starts and the result pages are first touched on first use),
and each side's time is its best. The items' digests from both sides are compared, and
the bench stops when they differ, so that a ratio is never read off runs that computed
different things.

The three callables are module-level functions of the calling bench (the spawned
interpreters import them by name):
    prepare(lo, hi) -> state   the inputs of items [lo, hi), built untimed
    run(state) -> results      the timed call
    digest(results) -> list    one digest per item, in item order
A batch of backtests builds the last with item_digests, naming the trade fields it holds.
"""

import hashlib
import multiprocessing as mp
import os
import time
from dataclasses import dataclass
from queue import Empty

WORKERS = 8


def item_digests(results, trade_fields):
    """One digest per (id, result) pair of a batch, in order: the id, the three curves, the
    named fields of every trade and the metrics."""
    out = []
    for item_id, r in results:
        h = hashlib.sha256(item_id.encode())
        for curve in (r.equity_curve(), r.returns(), r.drawdown_curve()):
            h.update(curve.tobytes())
        for t in r.trades():
            h.update(repr(tuple(getattr(t, f) for f in trade_fields)).encode())
        h.update(repr(sorted(r.metrics.to_dict().items())).encode())
        out.append(h.hexdigest())
    return out


def _now():
    # Every process reads the same clock, so the shares' times can be set side by side.
    return time.clock_gettime(time.CLOCK_MONOTONIC)


@dataclass
class Ceiling:
    batch: float  # best wall time of the whole batch on the pool, seconds
    processes: float  # best wall time of the single-worker processes, barrier to last finish
    round_ratios: list  # each round's best batch over its best processes' time
    workers: int

    @property
    def ratio(self):
        return self.batch / self.processes

    def line(self, what):
        """The bench's line: both walls, their ratio against the goal, the rounds' spread."""
        lo, hi = min(self.round_ratios), max(self.round_ratios)
        return (f"{what}: batch on {self.workers} workers {self.batch * 1e3:.1f} ms, {self.workers} single-worker "
                f"processes {self.processes * 1e3:.1f} ms, ratio {self.ratio:.2f} (goal <= 1.10; rounds "
                f"{lo:.2f}-{hi:.2f}); results identical; "
                f"load average {os.getloadavg()[0]:.1f}")


def _batch_child(prepare, run, digest, items, repeat, queue):
    state = prepare(0, items)
    results = run(state)
    best = float("inf")
    for _ in range(repeat):
        t = _now()
        run(state)
        best = min(best, _now() - t)
    queue.put((best, digest(results)))


def _share_child(prepare, run, digest, lo, hi, repeat, barrier, queue, slot):
    state = prepare(lo, hi)
    results = run(state)
    spans = []
    for _ in range(repeat):
        barrier.wait()
        t = _now()
        run(state)
        spans.append((t, _now()))
    queue.put((slot, spans, digest(results)))


def _spawn(ctx, target, args, pool_size):
    """Starts target(*args) in a fresh interpreter whose pool holds `pool_size` workers."""
    saved = os.environ.get("RAYON_NUM_THREADS")
    os.environ["RAYON_NUM_THREADS"] = str(pool_size)
    try:
        proc = ctx.Process(target=target, args=args)
        proc.start()
    finally:
        if saved is None:
            del os.environ["RAYON_NUM_THREADS"]
        else:
            os.environ["RAYON_NUM_THREADS"] = saved
    return proc


def _collect(procs, queue, count):
    """The reports of `count` processes; a process that dies before it reports ends the
    bench instead of leaving it waiting (the others are stopped: they may be at the barrier)."""
    out = []
    while len(out) < count:
        try:
            out.append(queue.get(timeout=1.0))
        except Empty:
            failed = [p.exitcode for p in procs if p.exitcode not in (None, 0)]
            if failed:
                for p in procs:
                    p.terminate()
                raise RuntimeError(f"a timing process failed (exit code {failed[0]})") from None
    for proc in procs:
        proc.join()
    return out


def _batch_round(ctx, prepare, run, digest, items, repeat, workers):
    queue = ctx.Queue()
    proc = _spawn(ctx, _batch_child, (prepare, run, digest, items, repeat, queue), workers)
    ((best, digests),) = _collect([proc], queue, 1)
    return best, list(digests)


def _processes_round(ctx, prepare, run, digest, items, repeat, workers):
    queue, barrier = ctx.Queue(), ctx.Barrier(workers)
    bounds = [items * k // workers for k in range(workers + 1)]
    procs = [_spawn(ctx, _share_child, (prepare, run, digest, bounds[k], bounds[k + 1], repeat, barrier, queue, k), 1)
             for k in range(workers)]
    shares = sorted(_collect(procs, queue, workers), key=lambda s: s[0])
    # Repetition r began when the barrier let the first share go and ended with the last.
    walls = [max(s[1][r][1] for s in shares) - min(s[1][r][0] for s in shares) for r in range(repeat)]
    return min(walls), [d for s in shares for d in s[2]]


def measure(prepare, run, digest, items, workers=WORKERS, rounds=4, repeat=5):
    """The batch of `items` items on `workers` pool workers against `workers` single-worker
    processes running a contiguous share each, taken in turn `rounds` times. Ends the
    bench as soon as one run's item digests differ from another's."""
    ctx = mp.get_context("spawn")
    batch, processes, ratios, seen = float("inf"), float("inf"), [], set()
    for _ in range(rounds):
        b, d_batch = _batch_round(ctx, prepare, run, digest, items, repeat, workers)
        p, d_shares = _processes_round(ctx, prepare, run, digest, items, repeat, workers)
        seen.add(tuple(d_batch))
        seen.add(tuple(d_shares))
        if len(seen) != 1:
            raise SystemExit("DIFFERENT WORK, no ratio printed: the batch on the pool and the single-worker "
                             "processes gave different results")
        batch, processes = min(batch, b), min(processes, p)
        ratios.append(b / p)
    return Ceiling(batch, processes, ratios, workers)
