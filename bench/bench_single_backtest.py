"""run_single_backtest over 10**6 bars against a reference, and its peak memory.

Random-walk bars, random signals (about 1% of bars enter, 1% exit), a flat 0.1% fee and
same-bar-close fills. The reference is vectorbt's Portfolio.from_signals on the same
arrays and settings when vectorbt can be imported (warmed up first so its compilation is
not timed); otherwise a plain NumPy/Python loop of the same strategy. Timings include
input conversion on our side. The contenders take turns over several rounds, so that all
of them meet the same spells of load on a shared machine, and each keeps its best time.
Memory is measured in a fresh interpreter: the growth of the peak resident set during one
run, set against copies of all inputs plus the three curves it returns, and against what
this run copies (the prices are read in place).
NumPy's BLAS threads are held to one on both sides so that their idle spinning takes no
core from the timed work.
"""

import os

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import subprocess  # noqa: E402
import sys  # noqa: E402
import textwrap  # noqa: E402

import numpy as np  # noqa: E402
from timing import alternating_bests, best_of  # noqa: E402

import tarnwick as tw  # noqa: E402

N = 1_000_000
FEES = 0.001
CAPITAL = 100_000.0


def data(n=N, seed=1):
    rng = np.random.default_rng(seed)
    close = 100.0 * np.cumprod(1.0 + rng.normal(0.0, 0.01, n))
    open_ = close * (1.0 + rng.normal(0.0, 0.002, n))
    high = np.maximum(open_, close) * 1.003
    low = np.minimum(open_, close) * 0.997
    ts = np.arange(n, dtype=np.int64) * 60 * 10**9
    entries = rng.random(n) < 0.01
    exits = rng.random(n) < 0.01
    return (ts, open_, high, low, close, np.full(n, 1e4)), entries, exits


def ours(bars, entries, exits):
    return tw.run_single_backtest(*bars, entries, exits, config=tw.BacktestConfig(fees=FEES, initial_capital=CAPITAL))


def numpy_reference(close, entries, exits):
    """The same one-position strategy in a plain loop: all cash in at the close, fee on both sides."""
    cash, size = CAPITAL, 0.0
    equity = np.empty(len(close))
    for i in range(len(close)):
        c = close[i]
        if size == 0.0:
            if entries[i]:
                size = cash / (c * (1.0 + FEES))
                cash -= size * c * (1.0 + FEES)
        elif exits[i] and not entries[i]:
            cash += size * c * (1.0 - FEES)
            size = 0.0
        equity[i] = cash + size * c
    peak = np.maximum.accumulate(equity)
    return equity, np.diff(equity, prepend=equity[0]) / np.concatenate([[equity[0]], equity[:-1]]), \
        (peak - equity) / peak * 100.0


def compare_speed():
    bars, entries, exits = data()
    close = bars[4]
    ours(bars, entries, exits)
    try:
        import vectorbt as vbt
    except Exception as exc:  # not installable here: fall back to the plain loop
        print(f"vectorbt unavailable ({type(exc).__name__}); reference is a plain NumPy/Python loop")
        t_ours = best_of(lambda: ours(bars, entries, exits))
        t_ref = best_of(lambda: numpy_reference(close, entries, exits), repeat=1)
        print(f"run_single_backtest 10^6 bars: {t_ours * 1e3:.1f} ms; plain loop {t_ref * 1e3:.1f} ms; "
              f"speed-up {t_ref / t_ours:.1f}x")
        return

    def reference():
        pf = vbt.Portfolio.from_signals(close, entries, exits, fees=FEES, init_cash=CAPITAL, freq="1min")
        # Build the curves our result carries, so both sides deliver the same things.
        pf.value(), pf.returns(), pf.drawdown(), pf.trades.records
        return pf

    # The untimed first calls compile vectorbt's kernels.
    t_ours, t_signals, t_ref = alternating_bests([
        lambda: ours(bars, entries, exits),
        lambda: vbt.Portfolio.from_signals(close, entries, exits, fees=FEES, init_cash=CAPITAL, freq="1min"),
        reference,
    ], rounds=15)
    r, pf = ours(bars, entries, exits), reference()
    print(f"vectorbt {vbt.__version__}: from_signals {t_signals * 1e3:.1f} ms, with curves and trades "
          f"{t_ref * 1e3:.1f} ms")
    print(f"run_single_backtest 10^6 bars: {t_ours * 1e3:.1f} ms; speed-up {t_signals / t_ours:.2f}x over "
          f"from_signals alone (goal >= 10x), {t_ref / t_ours:.2f}x with curves")
    print(f"  same run? trades {len(r.trades())} vs {len(pf.trades.records)}, final value "
          f"{r.equity_curve()[-1]:.6g} vs {pf.value().iloc[-1]:.6g}")


MEMORY_SCRIPT = textwrap.dedent("""
    import sys
    sys.path[:0] = {path!r}
    import numpy as np
    import tarnwick as tw
    from bench_single_backtest import data, ours

    def status(key):
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith(key):
                    return int(line.split()[1]) * 1024
    bars, entries, exits = data()
    small = data(1000)
    ours(*small)
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # the peak resident set restarts from here
    base = status("VmRSS:")
    result = ours(bars, entries, exits)
    print(status("VmHWM:") - base)
""")


def compare_memory():
    here = os.path.dirname(os.path.abspath(__file__))
    script = MEMORY_SCRIPT.format(path=[here])
    try:
        out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
    except subprocess.CalledProcessError as exc:
        print(f"peak memory: not measured ({exc.stderr.strip().splitlines()[-1]})")
        return
    grown = int(out.stdout.strip())
    mib = 1024 * 1024
    copies = 2 * N  # the entry and exit columns; the prices are read in place
    curves = 3 * 8 * N
    inputs = 8 * 6 * N + 2 * N
    print(f"peak memory of one 10^6-bar run: {grown / mib:.1f} MiB; against a copy of every input plus "
          f"the three curves ({(inputs + curves) / mib:.1f} MiB) {grown / (inputs + curves):.2f} (goal <= 1.2); "
          f"against the copies this run makes (signals only) plus the curves ({(copies + curves) / mib:.1f} MiB) "
          f"{grown / (copies + curves):.2f}")


if __name__ == "__main__":
    compare_speed()
    compare_memory()
