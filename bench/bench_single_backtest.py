"""run_single_backtest over 10**6 bars against a reference, and its peak memory.

Random-walk bars with a volatility of 0.1 % a bar, random signals (about 1% of bars enter,
1% exit), a flat 0.1% fee and same-bar-close fills. The reference is vectorbt's
Portfolio.from_signals on the same arrays and settings when vectorbt can be imported
(warmed up first so its compilation is not timed); otherwise a plain NumPy/Python loop of
the same strategy. Timings include input conversion on our side. The contenders take
turns over several rounds, so that all of them meet the same spells of load on a shared
machine, and each keeps its best time.
Both sides must make the same trades (the same bars, the same sizes to rounding) and end
on the same value, or the bench stops before it prints a ratio. That is why the walk is
calm: at 1 % a bar the fees and the volatility wear the account down to rounding residue
within the million bars, where we stop trading (an entry needs at least 1e-9 of the
initial capital) and a peer goes on trading dust, so the two runs stop being the same.
For the same reason no bar both enters and exits: flat on such a bar we enter, vectorbt
does nothing.
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
from timing import alternating_bests, best_of, same_work  # noqa: E402

import tarnwick as tw  # noqa: E402

N = 1_000_000
FEES = 0.001
CAPITAL = 100_000.0
VOLATILITY = 0.001  # a bar


def data(n=N, seed=1):
    rng = np.random.default_rng(seed)
    close = 100.0 * np.cumprod(1.0 + rng.normal(0.0, VOLATILITY, n))
    open_ = close * (1.0 + rng.normal(0.0, 0.002, n))
    high = np.maximum(open_, close) * 1.003
    low = np.minimum(open_, close) * 0.997
    ts = np.arange(n, dtype=np.int64) * 60 * 10**9
    entries = rng.random(n) < 0.01
    exits = (rng.random(n) < 0.01) & ~entries
    return (ts, open_, high, low, close, np.full(n, 1e4)), entries, exits


def ours(bars, entries, exits):
    return tw.run_single_backtest(*bars, entries, exits, config=tw.BacktestConfig(fees=FEES, initial_capital=CAPITAL))


def numpy_reference(close, entries, exits):
    """The same one-position strategy in a plain loop: all cash in at the close, fee on both
    sides. The three curves, and the entry bars, exit bars (-1 while open) and sizes of the
    trades."""
    cash, size = CAPITAL, 0.0
    equity = np.empty(len(close))
    trades = []
    for i in range(len(close)):
        c = close[i]
        if size == 0.0:
            if entries[i]:
                size = cash / (c * (1.0 + FEES))
                cash -= size * c * (1.0 + FEES)
                trades.append([i, -1, size])
        elif exits[i] and not entries[i]:
            cash += size * c * (1.0 - FEES)
            size = 0.0
            trades[-1][1] = i
        equity[i] = cash + size * c
    peak = np.maximum.accumulate(equity)
    curves = (equity, np.diff(equity, prepend=equity[0]) / np.concatenate([[equity[0]], equity[:-1]]),
              (peak - equity) / peak * 100.0)
    return curves, np.array(trades, dtype=np.float64).reshape(-1, 3)


def our_trades(result):
    """Entry bar, exit bar (-1 for the position still open at the end) and size of each trade."""
    return np.array([(t.entry_idx, -1 if t.exit_reason == "EndOfData" else t.exit_idx, t.size)
                     for t in result.trades()], dtype=np.float64).reshape(-1, 3)


def check_same_run(result, trades, final_value, peer):
    """Stops the bench unless both sides traded on the same bars with the same sizes (to
    rounding) and ended on the same value; returns the line that says they did."""
    ours = our_trades(result)
    same_work(f"trade counts ({peer})", len(ours), len(trades))
    same_work(f"entry and exit bars ({peer})", ours[:, :2], trades[:, :2])
    same_work(f"trade sizes ({peer})", ours[:, 2], trades[:, 2], rtol=1e-9)
    same_work(f"final values ({peer})", result.equity_curve()[-1], final_value, rtol=1e-9)
    return (f"  same run: {len(ours)} trades on the same bars, sizes and final value "
            f"{result.equity_curve()[-1]:.6g} equal to 1e-9")


def compare_speed():
    bars, entries, exits = data()
    close = bars[4]
    ours(bars, entries, exits)
    try:
        import vectorbt as vbt
    except Exception as exc:  # not installable here: fall back to the plain loop
        print(f"vectorbt unavailable ({type(exc).__name__}); reference is a plain NumPy/Python loop")
        (equity, _, _), trades = numpy_reference(close, entries, exits)
        same = check_same_run(ours(bars, entries, exits), trades, equity[-1], "plain loop")
        t_ours = best_of(lambda: ours(bars, entries, exits))
        t_ref = best_of(lambda: numpy_reference(close, entries, exits), repeat=1)
        print(f"run_single_backtest 10^6 bars: {t_ours * 1e3:.1f} ms; plain loop {t_ref * 1e3:.1f} ms; "
              f"speed-up {t_ref / t_ours:.1f}x")
        print(same)
        return

    def reference():
        pf = vbt.Portfolio.from_signals(close, entries, exits, fees=FEES, init_cash=CAPITAL, freq="1min")
        # Build the curves our result carries, so both sides deliver the same things.
        pf.value(), pf.returns(), pf.drawdown(), pf.trades.records
        return pf

    # The first call compiles vectorbt's kernels; nothing is timed before both sides are
    # known to make the same run.
    pf = reference()
    records = pf.trades.records
    trades = np.column_stack([records["entry_idx"], np.where(records["status"] == 0, -1, records["exit_idx"]),
                              records["size"]]).astype(np.float64)
    same = check_same_run(ours(bars, entries, exits), trades, pf.value().iloc[-1], "vectorbt")
    t_ours, t_signals, t_ref = alternating_bests([
        lambda: ours(bars, entries, exits),
        lambda: vbt.Portfolio.from_signals(close, entries, exits, fees=FEES, init_cash=CAPITAL, freq="1min"),
        reference,
    ], rounds=15)
    print(f"vectorbt {vbt.__version__}: from_signals {t_signals * 1e3:.1f} ms, with curves and trades "
          f"{t_ref * 1e3:.1f} ms")
    print(f"run_single_backtest 10^6 bars: {t_ours * 1e3:.1f} ms; speed-up {t_signals / t_ours:.2f}x over "
          f"from_signals alone (goal >= 10x), {t_ref / t_ours:.2f}x with curves")
    print(same)


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
