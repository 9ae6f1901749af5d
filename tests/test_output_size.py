"""Results whose size is a product of the arguments: a size no machine could hold is
refused at once with MemoryError naming the byte count, before any work is done. Memory
that runs out while a batch works raises MemoryError too, and the interpreter goes on."""
import os
import subprocess
import sys
import textwrap

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


# Memory running out for real, in a fresh interpreter whose address space is held to 1 GiB
# (the limit must not hit the test runner). The address sanitizer reserves terabytes of
# address space up front, so no such limit can be set under it.
under_one_gib = pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                                   reason="an address space limit cannot be set under the address sanitizer")


def run_in_one_gib(body, workers):
    script = "import resource\nresource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))\n" + textwrap.dedent(body)
    env = dict(os.environ, RAYON_NUM_THREADS=workers)
    return subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True, timeout=600)


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
