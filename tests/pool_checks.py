"""Checks shared by the tests of the functions that run on the worker pool."""
import os
import subprocess
import sys
import threading
import time


def outputs_under_worker_counts(script, counts=("1", "4")):
    """What `script` prints in a fresh interpreter (the pool is sized once per process) per worker count."""
    outs = []
    for workers in counts:
        env = dict(os.environ, RAYON_NUM_THREADS=workers)
        done = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True, check=True)
        outs.append(done.stdout.strip())
    return outs


def outputs_over_few_cpus(script, cpus=2, workers="64"):
    """What `script` prints to stdout and to stderr in a fresh interpreter held to at most
    `cpus` of this machine's CPUs, whose environment asks for many more workers."""
    allowed = set(sorted(os.sched_getaffinity(0))[:cpus])
    held = f"import os\nos.sched_setaffinity(0, {allowed!r})\n" + script
    env = dict(os.environ, RAYON_NUM_THREADS=workers)
    done = subprocess.run([sys.executable, "-c", held], env=env, capture_output=True, text=True, check=True)
    return done.stdout.strip(), done.stderr


def ticks_inside(call):
    """How often this thread ran while `call` ran on another, away from the call's two ends.

    Ticks well inside the call are only possible when the call let go of the interpreter lock."""
    span = {}

    def work():
        span["start"] = time.perf_counter()
        call()
        span["end"] = time.perf_counter()

    ticks = []
    worker = threading.Thread(target=work)
    worker.start()
    while worker.is_alive():
        ticks.append(time.perf_counter())
    worker.join()
    margin = (span["end"] - span["start"]) * 0.2
    return len([t for t in ticks if span["start"] + margin < t < span["end"] - margin])


def setter_refusals(call, item, attribute, value):
    """The errors a setter of `item` raised while `call` ran on another thread.

    A batch that reads its items in place with the lock released must refuse every change
    to them until it is over."""
    done = threading.Event()
    worker = threading.Thread(target=lambda: (call(), done.set()))
    refusals = set()
    worker.start()
    while not done.is_set():
        try:
            setattr(item, attribute, value)
        except RuntimeError as e:
            refusals.add(str(e))
    worker.join()
    return refusals
