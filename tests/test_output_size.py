"""Results whose size is a product of the arguments: a size the process cannot hold now
(past its address-space limit, its memory control group's limit or what the system has
available) is refused at once with MemoryError naming the byte count, before any work is
done. Memory that runs out while a batch works raises MemoryError too, the interpreter goes
on, and what the module kept for reuse is given back for whatever comes next."""
import os
import subprocess
import sys
import textwrap
import time

import numpy as np
import pytest

import tarnwick as tw

DAY = 86_400 * 10**9


def monte_carlo(n_paths, horizon):
    def call():
        tw.simulate_portfolio_mc([np.array([0.01, -0.02, 0.005])], np.array([1.0]), [np.array([1.0])], 100.0,
                                 n_paths, horizon, 7)
    return call


def batch(items, bars):
    def call():
        ts = np.arange(bars, dtype=np.int64) * DAY
        px = np.full(bars, 100.0)
        item = tw.BatchSingleItem("a", np.zeros(bars, dtype=bool), np.zeros(bars, dtype=bool))
        tw.batch_single_backtest(ts, px, px, px, px, px, [item] * items)
    return call


def spread_batch(items, bars):
    def call():
        ts = np.arange(bars, dtype=np.int64) * DAY
        px = np.full(bars, 100.0)
        item = tw.BatchSpreadItem("s", [px], [("CE", 100.0, 1, 1)], np.zeros(bars, dtype=bool),
                                  np.zeros(bars, dtype=bool))
        tw.batch_spread_backtest(ts, px, [item] * items)
    return call


def covariance(assets):
    def call():
        returns = np.vstack([np.zeros(assets), np.arange(1.0, assets + 1.0) / assets])
        tw.estimate_covariance(returns, [f"a{i}" for i in range(assets)], 252.0)
    return call


@pytest.mark.parametrize("call, bytes_text, what", [
    (monte_carlo(2**31, 252), str(2**31 * 253 * 8), "the paths (2147483648 paths of 252 steps)"),
    # The byte count passes 128 bits: its factors are named.
    (monte_carlo(2**63, 2**64 - 1), f"{2**63} x {2**64} x 8",
     "the paths (9223372036854775808 paths of 18446744073709551615 steps)"),
    # One item object repeated: three curves of 8-byte values per item and bar.
    (batch(10**6, 10**5), str(10**6 * 10**5 * 3 * 8), "the results of 1000000 items over 100000 bars"),
    (spread_batch(10**6, 10**5), str(10**6 * 10**5 * 3 * 8), "the results of 1000000 items over 100000 bars"),
    # Seven n x n matrices of 8-byte values.
    (covariance(10**5), str(7 * 10**10 * 8), "the covariance of 100000 assets"),
])
def test_impossible_sizes_raise_memory_error_with_the_byte_count(call, bytes_text, what):
    with pytest.raises(MemoryError) as e:
        call()
    assert str(e.value) == f"cannot allocate {bytes_text} bytes for {what}"


def test_sizes_that_fit_still_run():
    got = tw.simulate_portfolio_mc([np.array([0.01, -0.02, 0.005])], np.array([1.0]), [np.array([1.0])], 100.0,
                                   200, 5, 7)
    assert got["final_values"].shape == (200,)
    assert all(len(path) == 6 for _, path in got["percentile_paths"])


# Memory running out for real, in a fresh interpreter whose address space is held to a
# limit (the limit must not hit the test runner). The address sanitizer reserves terabytes
# of address space up front, so no such limit can be set under it.
under_one_gib = pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                                   reason="an address space limit cannot be set under the address sanitizer")


def run_limited(body, workers, address_space=None, prelude=""):
    """`body` in a fresh interpreter, its address space held to `address_space` bytes, after
    `prelude` (run before anything is imported). NumPy's BLAS keeps to one thread, whose
    idle threads would otherwise map hundreds of MB of the limit."""
    limit = "" if address_space is None else (
        f"import resource\nresource.setrlimit(resource.RLIMIT_AS, ({address_space}, {address_space}))\n")
    script = prelude + limit + textwrap.dedent(body)
    env = dict(os.environ, RAYON_NUM_THREADS=workers, OPENBLAS_NUM_THREADS="1")
    return subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True, timeout=600)


def run_in_one_gib(body, workers):
    return run_limited(body, workers, 1 << 30)


# Items of bars whose three curves alone take 720 MB.
OUT_OF_MEMORY = """
    import numpy as np
    import tarnwick as tw
    bars = {bars}
    ts = np.arange(bars, dtype=np.int64) * 86_400 * 10**9
    px = 100.0 + np.sin(np.arange(bars) / 7.0)
    entries, exits = np.arange(bars) % 10 == 0, np.arange(bars) % 10 == 5
    single = tw.BatchSingleItem("a", entries, exits)
    spread = tw.BatchSpreadItem("s", [px], [("CE", 100.0, 1, 1)], entries, exits)
    run = {{
        "batch_single_backtest": lambda n: tw.batch_single_backtest(ts, px, px, px, px, px, [single] * n),
        "batch_spread_backtest": lambda n: tw.batch_spread_backtest(ts, px, [spread] * n),
    }}["{name}"]
    def seen(results):
        return [(i, r.equity_curve().tobytes(), len(r.trades())) for i, r in results]
    before = seen(run(40))
    try:
        run({items})
        print("ran")
    except MemoryError:
        print("MemoryError")
    print("same after" if seen(run(40)) == before else "changed")
"""


@under_one_gib
@pytest.mark.parametrize("items, bars", [(30_000, 1_000), (300_000, 100)])
@pytest.mark.parametrize("name", ["batch_single_backtest", "batch_spread_backtest"])
def test_a_batch_that_runs_out_of_memory_raises_memory_error_and_the_interpreter_goes_on(name, items, bars):
    done = run_in_one_gib(OUT_OF_MEMORY.format(name=name, items=items, bars=bars), "4")
    assert (done.returncode, done.stdout, done.stderr) == (0, "MemoryError\nsame after\n", "")


# 20,000 rows alternating between 100 and 200 with bricks of a thousandth: every row after
# the first moves 100,000 bricks, of which 10,000 are formed, 48 bytes each.
RENKO = """
    import numpy as np
    import tarnwick as tw
    n = 20_000
    ts = np.arange(n, dtype=np.int64)
    close = np.where(np.arange(n) % 2 == 0, 100.0, 200.0)
    one = np.ones(n)
    try:
        {call}
        print("ran")
    except MemoryError as e:
        print(e)
"""
BRICKS = 19_999 * 10_000


@under_one_gib
@pytest.mark.parametrize("call", [
    'tw.aggregate_bars(ts, close, close, close, close, one, 1, "renko", brick_size=0.001)',
    'tw.bars_from_ticks(ts, close, one, one, 1, "renko", brick_size=0.001)',
])
def test_renko_bricks_that_cannot_be_held_are_refused_before_any_is_made(call):
    done = run_in_one_gib(RENKO.format(call=call), "4")
    assert (done.returncode, done.stdout, done.stderr) == (
        0, f"cannot allocate {BRICKS * 48} bytes for the bars ({BRICKS} renko bricks)\n", "")


# ---------------------------------------------------------------------------
# Limits the process meets before the machine's memory runs out

def own_memory_group():
    """The directory of this process's memory control group and the name of its limit
    file (cgroup v1 or v2), read from /proc; None when there is none."""
    mounts = {}
    with open("/proc/self/mountinfo") as f:
        for line in f:
            fields, _, tail = line.partition(" - ")
            fstype, _, options = (tail.split() + ["", "", ""])[:3]
            root, point = fields.split()[3:5]
            if fstype == "cgroup" and "memory" in options.split(","):
                mounts.setdefault("memory.limit_in_bytes", (root, point))
            elif fstype == "cgroup2":
                mounts.setdefault("memory.max", (root, point))
    with open("/proc/self/cgroup") as f:
        for line in f:
            hierarchy, controllers, path = line.rstrip("\n").split(":", 2)
            limit_file = ("memory.max" if hierarchy == "0" and not controllers
                          else "memory.limit_in_bytes" if "memory" in controllers.split(",") else None)
            if limit_file not in mounts:
                continue
            root, point = mounts[limit_file]
            if root != "/" and not path.startswith(root):
                continue
            directory = os.path.join(point, path[len(root):].lstrip("/") if root != "/" else path.lstrip("/"))
            if limit_file == "memory.limit_in_bytes" or os.path.exists(os.path.join(directory, "memory.max")):
                return directory, limit_file
    return None


@pytest.fixture
def memory_group():
    """make(limit): a fresh memory control group below this process's own, held to `limit`
    bytes; returns a prelude that moves the interpreter running it there. Skips where no
    group can be made (no rights, no memory controller)."""
    made = []

    def make(limit):
        found = own_memory_group()
        if found is None:
            pytest.skip("this process is in no memory control group")
        parent, limit_file = found
        group = os.path.join(parent, f"tarnwick_test_{os.getpid()}_{len(made)}")
        try:
            os.mkdir(group)
            made.append(group)
            with open(os.path.join(group, limit_file), "w") as f:
                f.write(str(limit))
        except OSError as e:
            pytest.skip(f"cannot make a memory control group here: {e}")
        return f"open({os.path.join(group, 'cgroup.procs')!r}, 'w').write(str(__import__('os').getpid()))\n"

    yield make
    for group in made:
        for _ in range(100):  # the group empties as its last process is reaped
            try:
                os.rmdir(group)
                break
            except OSError:
                time.sleep(0.02)


# 2^29 steps of one path: 4.3 GB, within RAM and swap but past either limit.
HELD_BACK = """
    import time
    import numpy as np
    import tarnwick as tw
    start = time.perf_counter()
    try:
        tw.simulate_portfolio_mc([np.array([0.01, -0.02, 0.005])], np.array([1.0]), [np.array([1.0])], 100.0,
                                 1, 2**29, 7)
        print("ran")
    except MemoryError as e:
        print(e, "at once" if time.perf_counter() - start < 0.1 else "late")
    print("goes on")
"""


@pytest.mark.parametrize("limit", [
    pytest.param(lambda request: {"prelude": request.getfixturevalue("memory_group")(2 << 30)},
                 id="memory_group_of_2_GiB"),
    pytest.param(lambda request: {"address_space": 1 << 30}, id="address_space_of_1_GiB", marks=under_one_gib),
])
def test_a_request_past_the_processs_limit_is_refused_at_once(limit, request):
    done = run_limited(HELD_BACK, "4", **limit(request))
    assert (done.returncode, done.stdout, done.stderr) == (
        0, "cannot allocate 4294967304 bytes for the paths (1 paths of 536870912 steps) at once\ngoes on\n", "")


# No limit of the process's own: half a GiB past what the system reports available, which
# RAM and swap together still allow on a machine in use.
PAST_AVAILABLE = """
    import time
    import numpy as np
    import tarnwick as tw
    available = next(int(line.split()[1]) * 1024 for line in open("/proc/meminfo")
                     if line.startswith("MemAvailable:"))
    steps = (available + (1 << 29)) // 8
    start = time.perf_counter()
    try:
        tw.simulate_portfolio_mc([np.array([0.01, -0.02, 0.005])], np.array([1.0]), [np.array([1.0])], 100.0,
                                 1, steps, 7)
        print("ran")
    except MemoryError as e:
        print(str(e) == f"cannot allocate {(steps + 1) * 8} bytes for the paths (1 paths of {steps} steps)",
              "at once" if time.perf_counter() - start < 0.1 else "late")
    print("goes on")
"""


def test_a_request_past_what_the_system_has_available_is_refused_at_once():
    done = run_limited(PAST_AVAILABLE, "4")
    assert (done.returncode, done.stdout, done.stderr) == (0, "True at once\ngoes on\n", "")


# ---------------------------------------------------------------------------
# Freed results the module keeps for reuse, under a 1 GiB address space

# The most results `make` gives before memory runs out, after `before`.
MOST = """
    import numpy as np
    import tarnwick as tw
    def most(make, at_most=10**6):
        held = []
        try:
            while len(held) < at_most:
                held.append(make())
        except MemoryError:
            pass
        return len(held)
    x32, x40 = np.linspace(1.0, 2.0, 4_000_000), np.linspace(1.0, 2.0, 5_000_000)
    {before}
    print(most({make}))
"""


@under_one_gib
@pytest.mark.parametrize("before, make, most_lost", [
    # Fifteen 32 MB results freed: 40 MB results as many as where none were made, the kept
    # blocks given back when a request lacks them.
    pytest.param("most(lambda: tw.sma(x32, 5), 15)", "lambda: tw.sma(x40, 5)", lambda fresh: 0,
                 id="own_results_after_smaller_ones"),
    # As many 40 MB results as fit, freed: NumPy's 40 MB arrays lose at most the eighth of
    # the memory that the module may keep.
    pytest.param("most(lambda: tw.sma(x40, 5), 24)", "lambda: np.ones(5_000_000)", lambda fresh: fresh // 8 + 1,
                 id="numpy_arrays_after_own_results"),
])
def test_freed_results_leave_their_memory_to_what_comes_next(before, make, most_lost):
    fresh = run_in_one_gib(MOST.format(before="", make=make), "4")
    after = run_in_one_gib(MOST.format(before=before, make=make), "4")
    assert (fresh.returncode, fresh.stderr, after.returncode, after.stderr) == (0, "", 0, "")
    assert int(fresh.stdout) >= 16
    assert int(fresh.stdout) - int(after.stdout) <= most_lost(int(fresh.stdout))


@under_one_gib
def test_what_a_batch_that_ran_out_of_memory_freed_can_be_had_again():
    # The moving average of 40 million values takes 640 MB of the 1 GiB, its input and its
    # result: there only when the batch's freed curves were not kept.
    body = """
        import numpy as np
        import tarnwick as tw
        bars = 10_000
        ts = np.arange(bars, dtype=np.int64) * 86_400 * 10**9
        px = 100.0 + np.sin(np.arange(bars) / 7.0)
        item = tw.BatchSingleItem("a", np.arange(bars) % 10 == 0, np.arange(bars) % 10 == 5)
        try:
            tw.batch_single_backtest(ts, px, px, px, px, px, [item] * 3_000)
            print("ran")
        except MemoryError:
            print("MemoryError")
        print(len(tw.sma(np.ones(40_000_000), 5)))
    """
    done = run_in_one_gib(body, "4")
    assert (done.returncode, done.stdout, done.stderr) == (0, "MemoryError\n40000000\n", "")


# ---------------------------------------------------------------------------
# Renko rows of many bricks, under a 4 GiB address space

# Rows alternating between 100 and 10,100 with bricks of 1: every row after the first
# moves exactly 10,000 bricks, 48 bytes each.
WIDE_RENKO = """
    import time
    import numpy as np
    import tarnwick as tw
    n = {rows}
    ts = np.arange(n, dtype=np.int64)
    close = np.where(np.arange(n) % 2 == 0, 100.0, 10_100.0)
    one = np.ones(n)
    start = time.thread_time()  # the calling thread's time, which other work does not stretch
    try:
        {call}
        print("ran")
    except MemoryError as e:
        print(e)
    print("at once" if time.thread_time() - start < 0.2 else "late")
    # The peak resident memory of this interpreter alone (getrusage would count the test
    # runner's, which the child was started from).
    peak_kib = next(int(line.split()[1]) for line in open("/proc/self/status") if line.startswith("VmHWM:"))
    print("small" if peak_kib < 300 * 1024 else "large")
"""


@under_one_gib
@pytest.mark.parametrize("rows", [250_000, 2_000_000])
@pytest.mark.parametrize("call", [
    'tw.aggregate_bars(ts, close, close, close, close, one, 1, "renko", brick_size=1.0)',
    'tw.bars_from_ticks(ts, close, one, one, 1, "renko", brick_size=1.0)',
], ids=["aggregate_bars", "bars_from_ticks"])
def test_renko_bricks_are_counted_in_proportion_to_the_rows(call, rows):
    done = run_limited(WIDE_RENKO.format(call=call, rows=rows), "4", address_space=4 << 30)
    bricks = (rows - 1) * 10_000
    assert (done.returncode, done.stdout, done.stderr) == (
        0, f"cannot allocate {bricks * 48} bytes for the bars ({bricks} renko bricks)\nat once\nsmall\n", "")
