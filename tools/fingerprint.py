"""Fingerprints of several hundred seeded runs across the runners, sessions, indicators, bar
aggregation and analytics, one line each: a label and the SHA-256 of everything the run
returned (arrays by their bytes, records by every attribute and every no-argument reader,
refusals by their type and message).

A change that must not alter any result keeps this output byte for byte:

    .venv/bin/python tools/fingerprint.py > before.txt   # ... change ...
    .venv/bin/python tools/fingerprint.py | diff before.txt -

Pass a substring to run only the labels that contain it.
"""
import hashlib
import sys

import numpy as np

import tarnwick as tw

DAY = 86_400 * 10**9
MINUTE = 60 * 10**9

# Readers that change their object or hand back something that is not a result.
NOT_READERS = {"finish", "reset", "seal", "flush", "next_pending", "step", "unit"}


def feed(h, value, depth=0):
    if depth > 6:
        h.update(b"<deep>")
        return
    if value is None or isinstance(value, (bool, int, str)):
        h.update(repr(value).encode())
    elif isinstance(value, float):
        h.update(value.hex().encode())
    elif isinstance(value, np.ndarray):
        h.update(f"nd{value.dtype.str}{value.shape}".encode())
        h.update(np.ascontiguousarray(value).tobytes())
    elif isinstance(value, (list, tuple)):
        h.update(f"[{type(value).__name__}{len(value)}".encode())
        for v in value:
            feed(h, v, depth + 1)
        h.update(b"]")
    elif isinstance(value, dict):
        h.update(b"{")
        for k in sorted(value, key=repr):
            feed(h, k, depth + 1)
            feed(h, value[k], depth + 1)
        h.update(b"}")
    elif isinstance(value, BaseException):
        h.update(f"!{type(value).__name__}:{value}".encode())
    elif type(value).__module__ == "builtins" and hasattr(tw, type(value).__name__):
        text = repr(value)
        # A class without a repr of its own shows its address, which no two runs share.
        h.update(f"<{type(value).__name__} {'' if ' at 0x' in text else text}".encode())
        for name in sorted(dir(type(value))):
            if name.startswith("_") or name in NOT_READERS:
                continue
            attr = getattr(type(value), name)
            if type(attr).__name__ == "getset_descriptor":
                feed(h, getattr(value, name), depth + 1)
            elif getattr(attr, "__text_signature__", None) == "($self)":
                try:
                    feed(h, getattr(value, name)(), depth + 1)
                except ValueError as e:  # a reader that refuses in this state is a result too
                    feed(h, e, depth + 1)
        h.update(b">")
    else:
        h.update(repr(value).encode())


def digest(fn, refusals):
    h = hashlib.sha256()
    try:
        feed(h, fn())
    except refusals as e:
        feed(h, e)
    return h.hexdigest()


RUNS = []


def run(label, refusals=()):
    """A run hashes only the exceptions in `refusals`, those the library raises on purpose
    for it: any other stops the tool, as a run that fails by mistake would otherwise hash
    its failure and hold nothing."""
    def add(fn):
        assert all(label != seen for seen, _, _ in RUNS), f"two runs named {label}"
        RUNS.append((label, fn, refusals))
        return fn
    return add


# ---------------------------------------------------------------------------
# Data


def bars(rng, n, start=100.0, vol=0.02, gaps=0.0, spacing=DAY):
    close = start * np.exp(np.cumsum(rng.normal(0, vol, n)))
    open_ = close * np.exp(rng.normal(0, vol / 3, n))
    high = np.maximum(open_, close) * (1 + np.abs(rng.normal(0, vol / 2, n)))
    low = np.minimum(open_, close) * (1 - np.abs(rng.normal(0, vol / 2, n)))
    volume = rng.uniform(1e3, 1e5, n).round()
    if gaps:
        hole = rng.random(n) < gaps
        hole[0] = False
        close = close.copy()
        close[hole] = np.nan
        open_[rng.random(n) < gaps] = np.nan
    ts = np.arange(n, dtype=np.int64) * spacing + 1_600_000_000 * 10**9
    return ts, open_, high, low, close, volume


def signals(rng, n, p=0.05):
    return rng.random(n) < p, rng.random(n) < p


def config(rng):
    c = tw.BacktestConfig(
        initial_capital=float(rng.choice([10_000.0, 100_000.0, 1_000_000.0])),
        fees=float(rng.choice([0.0, 0.0005, 0.001, 0.01])),
        slippage=float(rng.choice([0.0, 0.0, 0.0005])),
        fill_timing=str(rng.choice(["same_bar_close", "next_bar_open"])),
        periods_per_year=None if rng.random() < 0.5 else 252.0,
        fee_segment=None if rng.random() < 0.7 else str(rng.choice(["NSE", "NSE-DELIVERY", "NFO", "MCX"])),
        max_drawdown_pct=None if rng.random() < 0.8 else 15.0,
        bar_path_adaptive=bool(rng.random() < 0.3),
    )
    k = rng.integers(0, 7)
    if k == 1:
        c.set_fixed_stop(0.03)
    elif k == 2:
        c.set_trailing_stop(0.05)
    elif k == 3:
        c.set_atr_stop(2.0, 14)
    if rng.random() < 0.4:
        c.set_fixed_target(0.08)
    elif rng.random() < 0.2:
        c.set_risk_reward_target(2.0)
    return c


# ---------------------------------------------------------------------------
# Array runners

for seed in range(120):
    @run(f"single/{seed}")
    def _(seed=seed):
        rng = np.random.default_rng(seed)
        n = int(rng.integers(2, 600))
        data = bars(rng, n, gaps=0.03 if seed % 5 == 0 else 0.0, spacing=DAY if seed % 3 else MINUTE)
        en, ex = signals(rng, n)
        kw = {}
        if seed % 4 == 1:
            kw["position_sizes"] = rng.uniform(0.1, 1.0, n)
        if seed % 7 == 2:
            ic = tw.InstrumentConfig(lot_size=5.0, alloted_capital=50_000.0)
            if seed % 2:
                ic.set_fixed_stop(0.02)
            kw["instrument_config"] = ic
        return tw.run_single_backtest(*data, en, ex, direction=1 if seed % 6 else -1, symbol=f"S{seed}",
                                      config=config(rng), **kw)

for seed in range(10):
    @run(f"batch_single/{seed}")
    def _(seed=seed):
        rng = np.random.default_rng(1000 + seed)
        n = int(rng.integers(10, 400))
        data = bars(rng, n)
        items = []
        for i in range(int(rng.integers(1, 12))):
            en, ex = signals(rng, n, 0.08)
            items.append(tw.BatchSingleItem(f"i{i}", en, ex, direction=1 if i % 3 else -1,
                                            config=config(rng) if i % 2 else None))
        return tw.batch_single_backtest(*data, items, config=config(rng))



# Long runs with sparse signals: most bars fall between signals, with gaps, one-bar crashes
# that trip a drawdown limit, shorts, every stop and target rule, both fill timings, sizes,
# lots and fee segments.
def long_bars(rng, n, gaps):
    data = list(bars(rng, n, vol=0.01, gaps=gaps, spacing=MINUTE if rng.random() < 0.5 else DAY))
    close = data[4].copy()
    crash = rng.random(n) < 2.0 / n
    crash[0] = False
    close[crash] *= 0.5
    if gaps:
        high = data[2].copy()
        high[rng.random(n) < gaps / 2] = np.nan
        data[2] = high
    data[4] = close
    return data


for seed in range(60):
    @run(f"single_long_sparse/{seed}")
    def _(seed=seed):
        rng = np.random.default_rng(20_000 + seed)
        n = int(rng.integers(2_000, 30_000))
        data = long_bars(rng, n, gaps=0.01 if seed % 4 == 0 else 0.0)
        rate = float(rng.choice([0.001, 0.005, 0.01, 0.03]))
        en, ex = signals(rng, n, rate)
        cfg = config(rng)
        if seed % 5 == 3:
            cfg.max_drawdown_pct = 20.0
        kw = {}
        if seed % 3 == 1:
            kw["position_sizes"] = rng.uniform(0.1, 1.0, n)
        if seed % 7 == 2:
            ic = tw.InstrumentConfig(lot_size=5.0, alloted_capital=50_000.0)
            if seed % 2:
                ic.set_trailing_stop(0.03)
            kw["instrument_config"] = ic
        return tw.run_single_backtest(*data, en, ex, direction=1 if seed % 2 else -1, symbol=f"L{seed}",
                                      config=cfg, **kw)

for seed in range(6):
    @run(f"batch_single_long/{seed}")
    def _(seed=seed):
        rng = np.random.default_rng(21_000 + seed)
        n = int(rng.integers(5_000, 20_000))
        data = long_bars(rng, n, gaps=0.01 if seed % 2 else 0.0)
        items = []
        for i in range(int(rng.integers(2, 10))):
            en, ex = signals(rng, n, float(rng.choice([0.002, 0.01])))
            items.append(tw.BatchSingleItem(f"i{i}", en, ex, direction=1 if i % 3 else -1,
                                            config=config(rng) if i % 2 else None))
        return tw.batch_single_backtest(*data, items, config=config(rng))

for seed in range(8):
    @run(f"multi_long/{seed}")
    def _(seed=seed):
        rng = np.random.default_rng(22_000 + seed)
        n = int(rng.integers(3_000, 15_000))
        data = long_bars(rng, n, gaps=0.01 if seed % 2 else 0.0)
        strategies = []
        for i in range(int(rng.integers(1, 4))):
            en, ex = signals(rng, n, 0.005)
            strategies.append((en, ex, 1 if i % 2 == 0 else -1, 1.0, f"m{i}"))
        return tw.run_multi_backtest(*data, strategies, config(rng), str(rng.choice(["any", "independent"])))

    @run(f"portfolio_long/{seed}")
    def _(seed=seed):
        rng = np.random.default_rng(23_000 + seed)
        n = int(rng.integers(2_000, 8_000))
        insts = []
        for i in range(int(rng.integers(1, 6))):
            ts, o, h, l, c, v = long_bars(rng, n, gaps=0.01 if (seed + i) % 3 == 0 else 0.0)
            en, ex = signals(rng, n, 0.005)
            insts.append((ts, o, h, l, c, v, en, ex, 1 if i % 2 == 0 else -1, 1.0, f"P{i}"))
        cfg = config(rng)
        if seed % 2:
            cfg.max_positions = 2
        return tw.run_portfolio_backtest(insts, cfg, str(rng.choice(["equal_weight", "full"])), None)

for seed in range(6):
    @run(f"kernel_session_long/{seed}")
    def _(seed=seed):
        rng = np.random.default_rng(24_000 + seed)
        n = int(rng.integers(1_000, 4_000))
        ts, o, h, l, c, v = long_bars(rng, n, gaps=0.01 if seed % 2 else 0.0)
        s = tw.KernelSession("X", 1 if seed % 3 else -1, config(rng),
                             account_type="margin" if seed % 2 else "cash", leverage=4.0 if seed % 2 else 1.0)
        en, ex = signals(rng, n, 0.005)
        out = []
        for i in range(n):
            out.append(s.step(i, int(ts[i]), float(o[i]), float(h[i]), float(l[i]), float(c[i]), float(v[i]),
                              entry=bool(en[i]), exit=bool(ex[i])))
        out.append(s.finish())
        return out

@run("single_long/bench_like")
def _():
    rng = np.random.default_rng(25_000)
    n = 200_000
    close = 100.0 * np.cumprod(1.0 + rng.normal(0.0, 0.01, n))
    open_ = close * (1.0 + rng.normal(0.0, 0.002, n))
    high, low = np.maximum(open_, close) * 1.003, np.minimum(open_, close) * 0.997
    ts = np.arange(n, dtype=np.int64) * MINUTE
    en, ex = rng.random(n) < 0.01, rng.random(n) < 0.01
    return tw.run_single_backtest(ts, open_, high, low, close, np.full(n, 1e4), en, ex,
                                  config=tw.BacktestConfig(fees=0.001, initial_capital=100_000.0))

def instrument(rng, n, symbol, direction=1):
    ts, o, h, l, c, v = bars(rng, n)
    en, ex = signals(rng, n, 0.07)
    return (ts, o, h, l, c, v, en, ex, direction, float(rng.uniform(0.5, 2.0)), symbol)


for seed in range(25):
    @run(f"basket/{seed}")
    def _(seed=seed):
        rng = np.random.default_rng(2000 + seed)
        n = int(rng.integers(5, 300))
        insts = [instrument(rng, n, f"B{i}", 1 if i % 2 == 0 else -1) for i in range(int(rng.integers(1, 5)))]
        return tw.run_basket_backtest(insts, config(rng), str(rng.choice(["all", "any", "majority", "master"])))

    @run(f"portfolio/{seed}")
    def _(seed=seed):
        rng = np.random.default_rng(3000 + seed)
        n = int(rng.integers(5, 300))
        insts = [instrument(rng, n, f"P{i}", 1 if i % 3 else -1) for i in range(int(rng.integers(1, 7)))]
        cfg = config(rng)
        if seed % 3 == 0:
            cfg.max_positions = 2
        ics = {"P0": tw.InstrumentConfig(lot_size=10.0)} if seed % 4 == 0 else None
        return tw.run_portfolio_backtest(insts, cfg, str(rng.choice(["equal_weight", "full"])), ics)

    @run(f"multi/{seed}")
    def _(seed=seed):
        rng = np.random.default_rng(4000 + seed)
        n = int(rng.integers(5, 300))
        data = bars(rng, n)
        strategies = []
        for i in range(int(rng.integers(1, 4))):
            en, ex = signals(rng, n, 0.08)
            strategies.append((en, ex, 1 if i % 2 == 0 else -1, 1.0, f"m{i}"))
        return tw.run_multi_backtest(*data, strategies, config(rng), str(rng.choice(["any", "independent"])))

    @run(f"pairs/{seed}")
    def _(seed=seed):
        rng = np.random.default_rng(5000 + seed)
        n = int(rng.integers(5, 300))
        a, b = bars(rng, n), bars(rng, n, start=50.0)
        en, ex = signals(rng, n, 0.06)
        return tw.run_pairs_backtest(*a, *b, en, ex, direction=1 if seed % 2 else -1, config=config(rng),
                                     hedge_ratio=float(rng.uniform(0.5, 2.0)), dynamic_hedge=bool(seed % 3 == 0))

    @run(f"options/{seed}")
    def _(seed=seed):
        rng = np.random.default_rng(6000 + seed)
        n = int(rng.integers(5, 300))
        data = bars(rng, n, start=18000.0, vol=0.01)
        prem = np.abs(rng.normal(100, 30, n)) + 1
        en, ex = signals(rng, n, 0.06)
        return tw.run_options_backtest(*data, prem, en, ex, direction=1 if seed % 2 else -1, config=config(rng),
                                       option_type=str(rng.choice(["call", "put"])),
                                       size_type=str(rng.choice(["percent", "contracts", "notional"])),
                                       size_value=float(rng.choice([0.5, 1.0, 2.0])), lot_size=int(rng.integers(1, 75)))


def legs(rng, n, k):
    prem = [np.abs(rng.normal(100, 20, n)) + 1 for _ in range(k)]
    cfgs = [(str(rng.choice(["CE", "PE"])), float(rng.choice([17900.0, 18000.0, 18100.0])),
             int(rng.choice([1, -1, 2, -2])), int(rng.choice([25, 50]))) for _ in range(k)]
    return prem, cfgs


for seed in range(30):
    @run(f"spread/{seed}")
    def _(seed=seed):
        rng = np.random.default_rng(7000 + seed)
        n = int(rng.integers(3, 300))
        ts = np.arange(n, dtype=np.int64) * MINUTE
        under = 18000 * np.exp(np.cumsum(rng.normal(0, 0.002, n)))
        prem, cfgs = legs(rng, n, int(rng.integers(1, 5)))
        en, ex = signals(rng, n, 0.05)
        return tw.run_spread_backtest(ts, under, prem, cfgs, en, ex, config(rng),
                                      max_loss=None if seed % 2 else 2000.0,
                                      target_profit=None if seed % 3 else 3000.0)

for seed in range(8):
    @run(f"batch_spread/{seed}")
    def _(seed=seed):
        rng = np.random.default_rng(7500 + seed)
        n = int(rng.integers(3, 200))
        ts = np.arange(n, dtype=np.int64) * MINUTE
        under = 18000 * np.exp(np.cumsum(rng.normal(0, 0.002, n)))
        items = []
        for i in range(int(rng.integers(1, 8))):
            prem, cfgs = legs(rng, n, int(rng.integers(1, 4)))
            en, ex = signals(rng, n, 0.05)
            items.append(tw.BatchSpreadItem(f"s{i}", prem, cfgs, en, ex, max_loss=1500.0 if i % 2 else None))
        return tw.batch_spread_backtest(ts, under, items, config(rng))

# Batches large enough that every worker of the pool takes several items, over series
# long enough that the items end at different times: the hand-out order and the result
# slots are what these hold to.
for seed in range(4):
    @run(f"batch_single_large/{seed}")
    def _(seed=seed):
        rng = np.random.default_rng(7700 + seed)
        n = int(rng.integers(2000, 5000))
        data = bars(rng, n, gaps=0.02 if seed % 2 else 0.0, spacing=MINUTE if seed % 2 else DAY)
        items = []
        for i in range(int(rng.integers(40, 70))):
            en, ex = signals(rng, n, float(rng.choice([0.002, 0.02, 0.1])))
            kw = {}
            if i % 5 == 1:
                kw["position_sizes"] = rng.uniform(0.1, 1.0, n)
            if i % 4 == 2:
                ic = tw.InstrumentConfig(lot_size=float(rng.choice([1.0, 5.0])), alloted_capital=50_000.0)
                if i % 3 == 0:
                    ic.set_fixed_stop(0.02)
                elif i % 3 == 1:
                    ic.set_trailing_stop(0.03)
                ic.set_fixed_target(0.05)
                kw["instrument_config"] = ic
            items.append(tw.BatchSingleItem(f"L{i}", en, ex, direction=1 if i % 3 else -1,
                                            weight=float(rng.choice([0.5, 1.0])), symbol=f"Y{i % 4}",
                                            config=config(rng) if i % 2 else None, **kw))
        return tw.batch_single_backtest(*data, items, config=config(rng))

    @run(f"batch_spread_large/{seed}")
    def _(seed=seed):
        rng = np.random.default_rng(7800 + seed)
        n = int(rng.integers(1000, 3000))
        ts = np.arange(n, dtype=np.int64) * MINUTE
        under = 18000 * np.exp(np.cumsum(rng.normal(0, 0.002, n)))
        items = []
        for i in range(int(rng.integers(30, 60))):
            prem, cfgs = legs(rng, n, int(rng.integers(1, 5)))
            en, ex = signals(rng, n, float(rng.choice([0.005, 0.05])))
            kw = {}
            if i % 3 == 1:
                kw["max_loss"] = float(rng.choice([500.0, 1500.0]))
            if i % 4 == 2:
                kw["target_profit"] = float(rng.choice([500.0, 3000.0]))
            if i % 5 == 3:
                kw["legs_open_premiums"] = [p * (1 + rng.normal(0, 0.01, n)) for p in prem]
            items.append(tw.BatchSpreadItem(f"S{i}", prem, cfgs, en, ex, **kw))
        cfg = config(rng)
        if seed % 2:
            cfg.fee_segment = "NFO-OPT"
        return tw.batch_spread_backtest(ts, under, items, cfg)

    @run(f"batch_optimize_large/{seed}")
    def _(seed=seed):
        rng = np.random.default_rng(7900 + seed)
        n = int(rng.integers(10, 60))
        ids = [f"a{i}" for i in range(n)]
        model = tw.estimate_covariance(rng.normal(0.0005, 0.01, (n + 100, n)) + rng.normal(0, 0.005, (n + 100, 1)),
                                       ids, 252.0)
        cfg = tw.OptimizerConfig(float(rng.uniform(1, 10)), 0.001, max(0.1, 2.0 / n), [i % 4 for i in range(n)],
                                 [0.5] * 4, short_cap=0.0 if seed % 2 else 0.1)
        items = [tw.OptimizeItem(f"o{i}", rng.normal(0, 0.02, n), rng.dirichlet(np.ones(n)) * 0.95,
                                 portfolio_value=1e6 if i % 3 == 0 else None) for i in range(48)]
        out = [tw.batch_optimize_portfolios(model, items, cfg)]
        # A short item in the middle and another further on: the lower one is reported.
        bad = list(items)
        bad[30] = tw.OptimizeItem("short_late", np.zeros(n + 1), np.zeros(n))
        bad[17] = tw.OptimizeItem("short_early", np.zeros(n - 1), np.zeros(n))
        try:
            out.append(tw.batch_optimize_portfolios(model, bad, cfg))
        except ValueError as e:
            out.append(e)
        return out

for seed in range(25):
    @run(f"tick/{seed}")
    def _(seed=seed):
        rng = np.random.default_rng(8000 + seed)
        n = int(rng.integers(3, 2000))
        ts = np.cumsum(rng.integers(1, 5 * 10**9, n)).astype(np.int64)
        ltp = 100 * np.exp(np.cumsum(rng.normal(0, 0.001, n)))
        bid, ask = ltp - 0.05, ltp + 0.05
        buy, sell, oi = rng.uniform(0, 100, n), rng.uniform(0, 100, n), rng.uniform(1e5, 2e5, n)
        en, ex = signals(rng, n, 0.01)
        return tw.run_tick_backtest(ts, ltp, bid, ask, buy, sell, oi, en, ex, fees=float(rng.choice([0.0, 0.001])),
                                    stop_loss_pct=float(rng.choice([0.5, 5.0])),
                                    take_profit_pct=float(rng.choice([0.5, 10.0])),
                                    max_hold_seconds=int(rng.choice([60, 1800])),
                                    fee_segment=None if seed % 3 else "NSE")


# ---------------------------------------------------------------------------
# Long runs: the metrics' passes over thousands of samples (the tail brackets, the vector
# lanes' odd tails), irregular timestamps (weekends, repeated and backward steps, even and
# odd step counts), every annualisation setting and a risk-free rate.


def irregular_times(rng, n, spacing):
    steps = np.full(n, spacing, dtype=np.int64)
    steps[rng.random(n) < 0.1] *= 3  # weekends and halts
    steps[rng.random(n) < 0.02] = 0  # repeated stamps
    steps[rng.random(n) < 0.005] = -spacing  # a clock stepping back
    steps[0] = 0
    return np.cumsum(steps) + 1_600_000_000 * 10**9


def annualised(rng, c):
    c.legacy_annualization = bool(rng.random() < 0.25)
    c.session_minutes = [None, 0.0, -1.0, 375.0, 870.0, 30.0][int(rng.integers(0, 6))]
    c.periods_per_year = [None, None, 252.0, 0.0, -5.0][int(rng.integers(0, 5))]
    c.risk_free_rate = float(rng.choice([0.0, 0.0, 0.05, -0.01]))
    return c


def irregular_long_bars(rng, seed, n):
    spacing = [MINUTE, DAY, 5 * MINUTE, 2 * 3600 * 10**9][seed % 4]
    data = list(bars(rng, n, gaps=0.01 if seed % 3 == 0 else 0.0, spacing=spacing))
    if seed % 2 == 0:
        data[0] = irregular_times(rng, n, spacing)
    return data


for seed in range(16):
    @run(f"long_single/{seed}")
    def _(seed=seed):
        rng = np.random.default_rng(20_000 + seed)
        n = int(rng.integers(3_000, 30_000)) + seed % 2
        data = irregular_long_bars(rng, seed, n)
        en, ex = signals(rng, n, float(rng.choice([0.002, 0.02, 0.2])))
        return tw.run_single_backtest(*data, en, ex, direction=1 if seed % 4 < 2 else -1, symbol=f"L{seed}",
                                      config=annualised(rng, config(rng)))

for seed in range(4):
    @run(f"long_batch_single/{seed}")
    def _(seed=seed):
        rng = np.random.default_rng(21_000 + seed)
        n = int(rng.integers(4_000, 12_000))
        data = irregular_long_bars(rng, seed, n)
        items = []
        for i in range(6):
            en, ex = signals(rng, n, 0.03)
            items.append(tw.BatchSingleItem(f"i{i}", en, ex, direction=1 if i % 3 else -1,
                                            config=annualised(rng, config(rng)) if i % 4 else None))
        return tw.batch_single_backtest(*data, items, config=annualised(rng, config(rng)))

for seed in range(8):
    @run(f"long_own_loop/{seed}")
    def _(seed=seed):
        rng = np.random.default_rng(22_000 + seed)
        n = int(rng.integers(4_000, 12_000)) + seed % 2
        data = irregular_long_bars(rng, seed, n)
        ts = data[0]
        out = []
        en, ex = signals(rng, n, 0.03)
        prem = np.abs(rng.normal(100, 30, n)) + 1
        out.append(tw.run_options_backtest(*data, prem, en, ex, direction=1 if seed % 2 else -1,
                                           config=annualised(rng, config(rng)), option_type="call",
                                           size_type="contracts", size_value=1.0, lot_size=25))
        b = bars(rng, n, start=50.0)
        out.append(tw.run_pairs_backtest(*data, ts, *b[1:], en, ex, direction=1 if seed % 2 else -1,
                                         config=annualised(rng, config(rng)), hedge_ratio=1.3,
                                         dynamic_hedge=bool(seed % 3 == 0)))
        insts = [(ts, *bars(rng, n)[1:], *signals(rng, n, 0.03), 1 if i % 2 == 0 else -1, 1.0, f"B{i}")
                 for i in range(3)]
        out.append(tw.run_basket_backtest(insts, annualised(rng, config(rng)), ["all", "any"][seed % 2]))
        strategies = [(*signals(rng, n, 0.03), 1 if i % 2 == 0 else -1, 1.0, f"m{i}") for i in range(3)]
        out.append(tw.run_multi_backtest(*data, strategies, annualised(rng, config(rng)),
                                         ["any", "independent"][seed % 2]))
        out.append(tw.run_portfolio_backtest(insts, annualised(rng, config(rng)), "equal_weight", None))
        return out

for seed in range(6):
    @run(f"long_spread/{seed}")
    def _(seed=seed):
        rng = np.random.default_rng(23_000 + seed)
        n = int(rng.integers(4_000, 15_000)) + seed % 2
        ts = irregular_times(rng, n, MINUTE) if seed % 2 else np.arange(n, dtype=np.int64) * MINUTE
        under = 18000 * np.exp(np.cumsum(rng.normal(0, 0.002, n)))
        prem, cfgs = legs(rng, n, int(rng.integers(1, 5)))
        en, ex = signals(rng, n, 0.02)
        out = [tw.run_spread_backtest(ts, under, prem, cfgs, en, ex, annualised(rng, config(rng)),
                                      max_loss=None if seed % 2 else 2000.0,
                                      target_profit=None if seed % 3 else 3000.0)]
        items = []
        for i in range(5):
            prem, cfgs = legs(rng, n, int(rng.integers(1, 4)))
            en, ex = signals(rng, n, 0.02)
            items.append(tw.BatchSpreadItem(f"s{i}", prem, cfgs, en, ex, max_loss=1500.0 if i % 2 else None))
        out.append(tw.batch_spread_backtest(ts, under, items, annualised(rng, config(rng))))
        return out

for seed in range(4):
    @run(f"long_tick/{seed}")
    def _(seed=seed):
        rng = np.random.default_rng(24_000 + seed)
        n = int(rng.integers(20_000, 60_000))
        ts = np.cumsum(rng.integers(1, 5 * 10**9, n)).astype(np.int64)
        ltp = 100 * np.exp(np.cumsum(rng.normal(0, 0.001, n)))
        bid, ask = ltp - 0.05, ltp + 0.05
        buy, sell, oi = rng.uniform(0, 100, n), rng.uniform(0, 100, n), rng.uniform(1e5, 2e5, n)
        en, ex = signals(rng, n, 0.2)
        return tw.run_tick_backtest(ts, ltp, bid, ask, buy, sell, oi, en, ex, fees=0.0005,
                                    stop_loss_pct=0.2, take_profit_pct=0.3, max_hold_seconds=120,
                                    entry_cooldown_ticks=2, max_trades=100_000)


# ---------------------------------------------------------------------------
# Sessions

ORDER_KINDS = ["market", "limit", "stop_market", "stop_limit", "market_if_touched", "limit_if_touched",
               "trailing_stop_market", "trailing_stop_limit", "market_to_limit"]

for seed in range(40):
    @run(f"kernel_session/{seed}")
    def _(seed=seed):
        rng = np.random.default_rng(9000 + seed)
        n = int(rng.integers(5, 150))
        ts, o, h, l, c, v = bars(rng, n)
        spec = tw.InstrumentSpec.equity("X", price_increment=0.01) if seed % 3 == 0 else None
        s = tw.KernelSession("X", 1 if seed % 4 else -1, config(rng), instrument=spec,
                             oms_type="hedging" if seed % 5 == 0 else "netting",
                             account_type="margin" if seed % 2 else "cash", leverage=2.0 if seed % 2 else 1.0)
        out = []
        for i in range(n):
            if rng.random() < 0.15:
                kind = str(rng.choice(ORDER_KINDS))
                price = float(c[max(i - 1, 0)])
                try:
                    out.append(s.submit_order(str(rng.choice(["buy", "sell"])), kind, i, int(ts[i]), f"c{i}",
                                              units=float(rng.integers(1, 50)),
                                              limit_price=price * 0.99 if "limit" in kind else None,
                                              trigger_price=price * 1.01 if ("stop" in kind or "touched" in kind)
                                              and "trailing" not in kind else None,
                                              offset=200.0 if "trailing" in kind else None,
                                              offset_kind="bps" if "trailing" in kind else "price",
                                              tif=str(rng.choice(["gtc", "day", "ioc"]))))
                except ValueError as e:
                    out.append(e)
            out.append(s.step(i, int(ts[i]), float(o[i]), float(h[i]), float(l[i]), float(c[i]), float(v[i]),
                              entry=bool(rng.random() < 0.08), exit=bool(rng.random() < 0.08)))
            if i % 17 == 0:
                out.append((s.cash(), s.equity(), s.free_capital(), s.positions(), s.open_order_ids()))
        out.append(s.finish())
        return out

for seed in range(30):
    @run(f"portfolio_session/{seed}")
    def _(seed=seed):
        rng = np.random.default_rng(9500 + seed)
        n = int(rng.integers(5, 120))
        s = tw.PortfolioSession(config(rng), "margin" if seed % 2 else "cash", 3.0 if seed % 2 else 1.0)
        k = int(rng.integers(1, 4))
        for i in range(k):
            s.add_instrument(f"I{i}", 1 if i % 2 == 0 else -1)
            ts, o, h, l, c, v = bars(rng, n)
            s.set_bars(i, ts + i, o, h, l, c, v)
        s.seal()
        out = []
        step = 0
        while s.remaining():
            cur = s.current()
            out.append(cur)
            if rng.random() < 0.05:
                try:
                    out.append(s.submit_order(cur[0], "buy", "limit", step, cur[1], f"o{step}", units=10.0,
                                              limit_price=cur[6] * 0.995))
                except ValueError as e:
                    out.append(e)
            out.append(s.apply_current(entry=bool(rng.random() < 0.1), exit=bool(rng.random() < 0.1)))
            step += 1
        out.append((s.cash(), s.equity(), s.free_capital(), s.is_halted()))
        out.append(s.finish())
        return out


# ---------------------------------------------------------------------------
# Indicators

for seed in range(20):
    @run(f"indicators/{seed}")
    def _(seed=seed):
        rng = np.random.default_rng(10_000 + seed)
        n = int(rng.integers(1, 800))
        _, o, h, l, c, v = bars(rng, n, gaps=0.02 if seed % 4 == 0 else 0.0)
        p = int(rng.integers(1, 40))
        out = []
        for f, args in [(tw.sma, (c, p)), (tw.ema, (c, p)), (tw.rsi, (c, p)), (tw.macd, (c,)),
                        (tw.macd, (c, 5, 13, 4)), (tw.stochastic, (h, l, c)), (tw.atr, (h, l, c, p)),
                        (tw.bollinger_bands, (c, p, 1.5)), (tw.adx, (h, l, c, p)), (tw.vwap, (h, l, c, v)),
                        (tw.supertrend, (h, l, c, p, 2.5)), (tw.rolling_min, (c, p)), (tw.rolling_max, (c, p))]:
            try:
                out.append(f(*args))
            except ValueError as e:
                out.append(e)
        return out

    @run(f"streaming/{seed}")
    def _(seed=seed):
        rng = np.random.default_rng(11_000 + seed)
        n = int(rng.integers(1, 300))
        _, o, h, l, c, v = bars(rng, n)
        p = int(rng.integers(1, 30))
        makers = [tw.Indicator.sma(p), tw.Indicator.ema(p), tw.Indicator.wilder_ma(p), tw.Indicator.wma(p),
                  tw.Indicator.roc(p), tw.Indicator.stddev(p), tw.Indicator.rsi(p), tw.Indicator.atr(p),
                  tw.Indicator.donchian(p), tw.Indicator.bollinger(p, 2.5), tw.Indicator.macd(4, 9, 3)]
        out = []
        for ind in makers:
            out.append([ind.update_bar(float(o[i]), float(h[i]), float(l[i]), float(c[i])) for i in range(n)])
            out.append((ind.value, ind.initialized, ind.kind))
        return out

    @run(f"tick_features/{seed}")
    def _(seed=seed):
        rng = np.random.default_rng(12_000 + seed)
        n = int(rng.integers(1, 1000))
        ts = np.cumsum(rng.integers(1, 3 * 10**9, n)).astype(np.int64)
        ltp = 100 * np.exp(np.cumsum(rng.normal(0, 0.001, n)))
        bid, ask = ltp - rng.uniform(0, 0.1, n), ltp + rng.uniform(0, 0.1, n)
        buy, sell = np.cumsum(rng.uniform(0, 100, n)), np.cumsum(rng.uniform(0, 100, n))
        oi = rng.uniform(1e5, 2e5, n)
        spread = tw.tick_spread_pct(bid, ask)
        bsi = tw.buy_sell_imbalance_delta(buy, sell)
        r1 = tw.return_window(ts, ltp, 60.0)
        return [spread, bsi, r1, tw.realized_vol_rolling(ts, ltp, 300.0), tw.oi_position_pct(oi, 2e5, 1e5),
                tw.tick_velocity(ts, 30.0), tw.compute_tick_entry_signals(spread, bsi, r1, 5.0, 0.0, 0.0, 1, 5),
                tw.compute_tick_exit_signals(ts, int(ts[n // 2]))]


# ---------------------------------------------------------------------------
# Bar aggregation

UNITS = [(5, "minute"), (1, "hour"), (1, "day"), (1, "week"), (1, "month"), (50, "tick"), (5000.0, "volume"),
         (1e6, "value")]

for seed in range(24):
    @run(f"aggregate/{seed}")
    def _(seed=seed):
        rng = np.random.default_rng(13_000 + seed)
        n = int(rng.integers(1, 3000))
        ts, o, h, l, c, v = bars(rng, n, spacing=MINUTE)
        step, unit = UNITS[seed % len(UNITS)]
        out = [tw.aggregate_bars(ts, o, h, l, c, v, int(step), unit, tz_offset_ns=tw.IST_OFFSET_NS if seed % 2 else 0)]
        out.append(tw.aggregate_bars(ts, o, h, l, c, v, 1, "renko", brick_size=float(rng.choice([0.5, 1.0, 2.0]))))
        agg = tw.BarAggregator(int(step), unit)
        pushed = [agg.push_bar(int(ts[i]), float(o[i]), float(h[i]), float(l[i]), float(c[i]), float(v[i]))
                  for i in range(min(n, 500))]
        out.append(pushed)
        out.append(agg.flush())
        return out

    @run(f"from_ticks/{seed}")
    def _(seed=seed):
        rng = np.random.default_rng(14_000 + seed)
        n = int(rng.integers(1, 5000))
        ts = np.cumsum(rng.integers(1, 2 * 10**9, n)).astype(np.int64)
        ltp = 100 * np.exp(np.cumsum(rng.normal(0, 0.001, n)))
        buy, sell = rng.integers(0, 100, n).astype(float), rng.integers(0, 100, n).astype(float)
        units = UNITS + [(20, "tick_imbalance"), (20, "tick_runs"), (500, "volume_imbalance"),
                         (500, "volume_runs")]
        step, unit = units[seed % len(units)]
        try:
            return tw.bars_from_ticks(ts, ltp, buy, sell, int(step), unit)
        except ValueError as e:
            return e


# ---------------------------------------------------------------------------
# Analytics

def panel(rng, t, n):
    return rng.normal(0.0005, 0.01, (t, n)) + rng.normal(0, 0.005, (t, 1))


for seed in range(20):
    @run(f"covariance_optimize/{seed}")
    def _(seed=seed):
        rng = np.random.default_rng(15_000 + seed)
        n = int(rng.integers(2, 40))
        t = int(rng.integers(n + 2, 300))
        ids = [f"a{i}" for i in range(n)]
        model = tw.estimate_covariance(panel(rng, t, n), ids, 252.0)
        sectors = [i % 3 for i in range(n)]
        cfg = tw.OptimizerConfig(float(rng.uniform(1, 10)), 0.001, max(0.2, 1.5 / n), sectors, [0.6, 0.6, 0.6],
                                 short_cap=0.0 if seed % 2 else 0.1, net_min=0.0 if seed % 2 else -0.5)
        alpha = rng.normal(0, 0.02, n)
        w0 = np.full(n, 1.0 / n)
        out = [model]
        try:
            res = tw.optimize_portfolio(model, alpha, w0, ids, cfg)
            out.append(res)
            out.append(tw.compute_risk_contributions(model, res.weights(), ids))
        except ValueError as e:
            out.append(e)
        items = [tw.OptimizeItem(f"o{i}", rng.normal(0, 0.02, n), w0) for i in range(3)]
        try:
            out.append(tw.batch_optimize_portfolios(model, items, cfg))
        except ValueError as e:
            out.append(e)
        return out

    @run(f"panels/{seed}")
    def _(seed=seed):
        rng = np.random.default_rng(16_000 + seed)
        t, n = int(rng.integers(2, 120)), int(rng.integers(1, 30))
        values = rng.normal(0, 1, (t, n))
        values[rng.random((t, n)) < 0.05] = np.nan
        prices = 100 * np.exp(np.cumsum(rng.normal(0, 0.01, (t, n)), axis=0))
        out = [tw.winsorize_panel(values, 0.05), tw.zscore_panel(values, 3), tw.rank_panel(values, 3),
               tw.momentum_panel(prices, min(5, t - 1), 1),
               tw.composite_scores([values, values * 2], np.array([0.3, 0.7]))]
        try:
            out.append(tw.rank_ic(values, prices, 1, 3))
        except ValueError as e:
            out.append(e)
        return out

    @run(f"monte_carlo/{seed}")
    def _(seed=seed):
        rng = np.random.default_rng(17_000 + seed)
        k = int(rng.integers(1, 5))
        rets = [rng.normal(0.0005, 0.01, int(rng.integers(20, 300))) for _ in range(k)]
        corr = np.eye(k)
        if k > 1:
            corr[0, 1] = corr[1, 0] = 0.3
        w = np.full(k, 1.0 / k)
        return tw.simulate_portfolio_mc(rets, w, list(corr), 100_000.0, int(rng.integers(1, 700)),
                                        int(rng.integers(1, 60)), seed)

    @run(f"rebalance/{seed}")
    def _(seed=seed):
        rng = np.random.default_rng(18_000 + seed)
        t, n = int(rng.integers(2, 200)), int(rng.integers(1, 10))
        prices = 100 * np.exp(np.cumsum(rng.normal(0, 0.01, (t, n)), axis=0))
        w = rng.dirichlet(np.ones(n), t)
        policy, param = ("calendar", float(rng.integers(1, 20))) if seed % 2 else ("band", 0.05)
        return tw.simulate_rebalance_policy(prices, w, 1_000_000.0, policy, param, min_trade_value=100.0)

def correlation(rng, k):
    """A random correlation matrix: the normalised Gram matrix of k random factor loadings."""
    a = rng.normal(0, 1, (k, k + 3))
    c = a @ a.T
    d = np.sqrt(np.diag(c))
    return c / np.outer(d, d)


# Many paths over many assets: path counts off the 64-path blocks, negative and odd weights,
# empty and constant series among the assets.
for seed in range(12):
    @run(f"monte_carlo_wide/{seed}")
    def _(seed=seed):
        rng = np.random.default_rng(17_500 + seed)
        k = int(rng.integers(5, 17))
        rets = [rng.normal(0.0005, rng.uniform(0.002, 0.03), int(rng.integers(20, 400))) for _ in range(k)]
        if seed % 3 == 0:
            rets[int(rng.integers(0, k))] = np.array([])
        if seed % 4 == 1:
            rets[int(rng.integers(0, k))] = np.full(30, 0.001)
        w = rng.normal(1.0 / k, 0.3 / k, k)
        if seed % 2:
            w[0] = -w[0]
        n_paths = int(rng.integers(1, 3000)) if seed % 5 else int(rng.integers(1, 64))
        return tw.simulate_portfolio_mc(rets, w, list(correlation(rng, k)), 1_000_000.0, n_paths,
                                        int(rng.integers(0, 130)), int(rng.integers(0, 2**63)))


@run("monte_carlo_wide/overflowing")
def _():
    # Growth terms past the double range: paths that end at +-inf and NaN among finite ones.
    rng = np.random.default_rng(17_700)
    rets = [rng.normal(0.0, 0.01, 50) for _ in range(5)] + [np.array([0.0, 2.0]), np.array([2.0, 0.0])]
    w = np.array([0.2] * 5 + [1e308, -1e308])
    return tw.simulate_portfolio_mc(rets, w, list(correlation(rng, 7)), 1.0, 700, 1, int(rng.integers(0, 2**63)))


@run("monte_carlo_wide/nan_among_infinities")
def _():
    # A series holding a NaN (its drift is NaN) among growth terms of both infinite signs:
    # NaNs of both signs meet in the sums.
    rng = np.random.default_rng(17_800)
    out = []
    for case in range(4):
        nan_series = rng.normal(0, 0.01, 30)
        nan_series[3] = np.nan
        rets = [rng.normal(0, 0.01, 30) for _ in range(3)] + [np.array([0.0, 2.0]), np.array([2.0, 0.0])]
        w = [0.2] * 3 + [1e308, -1e308]
        rets.insert(len(rets) if case % 2 == 0 else 0, nan_series)
        w.insert(len(w) if case % 2 == 0 else 0, 0.5)
        out.append(tw.simulate_portfolio_mc(rets, np.array(w), list(np.eye(6)), 1.0, 200, 3, case))
    return out


@run("monte_carlo_wide/default_size")
def _():
    rng = np.random.default_rng(17_600)
    rets = [rng.normal(0.0004, 0.015, 500) for _ in range(10)]
    return tw.simulate_portfolio_mc(rets, np.full(10, 0.1), list(correlation(rng, 10)), 1_000_000.0, 10_000, 252, 42)


for seg in ["equity_intraday", "equity_delivery", "futures_nfo", "options_nfo", "futures_mcx", "options_mcx",
            "futures_cds", "options_cds", "bad"]:
    @run(f"cost_schedule/{seg}", refusals=ValueError if seg == "bad" else ())
    def _(seg=seg):
        return tw.indian_cost_schedule(seg)


# ---------------------------------------------------------------------------
# Long runs: entries sized, priced and levelled every way, indicators over many blocks
# with gaps, bar aggregation split over the pool, the optimiser's problem in every shape.

def gapped(rng, x, rate, runs=False):
    x = x.copy()
    x[rng.random(len(x)) < rate] = np.nan
    if runs and len(x) > 50:
        at = int(rng.integers(0, len(x) - 20))
        x[at:at + int(rng.integers(1, 20))] = np.nan
    return x


for seed in range(24):
    @run(f"single_long/{seed}")
    def _(seed=seed):
        rng = np.random.default_rng(20_000 + seed)
        n = int(rng.integers(1500, 4000))
        data = bars(rng, n, gaps=0.02 if seed % 2 else 0.0, spacing=DAY if seed % 3 else MINUTE)
        en, ex = signals(rng, n, 0.03)
        cfg = config(rng)
        [cfg.set_fixed_stop, cfg.set_trailing_stop, lambda v: cfg.set_atr_stop(2.0, 10), lambda v: None][seed % 4](0.02)
        if seed % 3 == 0:
            cfg.set_fixed_target(0.05)
        elif seed % 3 == 1:
            cfg.set_risk_reward_target(1.5)
        kw = {}
        if seed % 2 == 0:
            kw["position_sizes"] = rng.uniform(0.05, 1.0, n)
        if seed % 4 == 1:
            ic = tw.InstrumentConfig(lot_size=float(rng.choice([0.1, 5.0, 25.0])), alloted_capital=40_000.0)
            if seed % 8 == 1:
                ic.set_trailing_stop(0.03)
            kw["instrument_config"] = ic
        return tw.run_single_backtest(*data, en, ex, direction=1 if seed % 3 else -1, symbol=f"L{seed}",
                                      config=cfg, **kw)

    @run(f"kernel_session_levels/{seed}")
    def _(seed=seed):
        rng = np.random.default_rng(21_000 + seed)
        n = int(rng.integers(100, 400))
        ts, o, h, l, c, v = bars(rng, n, gaps=0.02 if seed % 3 == 0 else 0.0)
        spec = [None,
                tw.InstrumentSpec.equity("X", price_increment=0.05, lot_size=10.0),
                tw.InstrumentSpec.futures_contract("X", 2_000_000_000 * 10**9, 50.0, price_increment=0.05,
                                                   margin_init=0.12, margin_maint=0.1),
                tw.InstrumentSpec.option("X", 100.0, "call", 2_000_000_000 * 10**9, 25.0, span_pct=0.1,
                                         exposure_pct=0.02, margin_init=0.2),
                tw.InstrumentSpec.perpetual("X", size_increment=0.5, margin_init=0.2),
                tw.InstrumentSpec.currency_pair("X", price_increment=0.0001, size_increment=1000.0)][seed % 6]
        cfg = config(rng)
        s = tw.KernelSession("X", 1 if seed % 2 else -1, cfg, instrument=spec,
                             oms_type="hedging" if seed % 4 == 0 else "netting",
                             account_type="margin" if seed % 3 else "cash", leverage=float(rng.choice([1.0, 4.0])))
        out = []
        for i in range(n):
            price = float(c[i]) if np.isfinite(c[i]) else 100.0
            d = 1 if seed % 2 else -1
            out.append(s.step(i, int(ts[i]), float(o[i]), float(h[i]), float(l[i]), float(c[i]), float(v[i]),
                              entry=bool(rng.random() < 0.1), exit=bool(rng.random() < 0.05),
                              atr=float(rng.choice([0.0, price * 0.02])),
                              size_mult=None if rng.random() < 0.5 else float(rng.uniform(0.1, 1.0)),
                              stop_price=None if rng.random() < 0.6 else price * (1 - 0.03 * d),
                              target_price=None if rng.random() < 0.6 else price * (1 + 0.05 * d)))
            if i % 23 == 0:
                out.append((s.cash(), s.equity(), s.positions()))
        out.append(s.finish())
        return out

for seed in range(16):
    @run(f"options_long/{seed}")
    def _(seed=seed):
        rng = np.random.default_rng(22_000 + seed)
        n = int(rng.integers(500, 3000))
        data = bars(rng, n, start=18000.0, vol=0.01)
        prem = gapped(rng, np.abs(rng.normal(100, 30, n)) + 1, 0.03 if seed % 2 else 0.0, runs=seed % 4 == 1)
        open_prem = gapped(rng, prem * rng.uniform(0.97, 1.03, n), 0.02) if seed % 3 else None
        en, ex = signals(rng, n, 0.04)
        size_type, size_value = [("percent", 0.5), ("contracts", 3.0), ("notional", 250_000.0), ("risk", 0.8),
                                 ("percent", 1.0)][seed % 5]
        return tw.run_options_backtest(*data, prem, en, ex, direction=1 if seed % 2 else -1, config=config(rng),
                                       option_type=str(rng.choice(["call", "put", "ce", "p"])),
                                       strike_selection=str(rng.choice(["atm", "itm1", "otm2"])),
                                       size_type=size_type, size_value=size_value,
                                       lot_size=int(rng.integers(1, 75)), option_open_prices=open_prem)

    @run(f"indicators_long/{seed}")
    def _(seed=seed):
        rng = np.random.default_rng(23_000 + seed)
        n = int(rng.integers(300, 6000))
        _, o, h, l, c, v = bars(rng, n)
        if seed % 2:
            c, h, l = (gapped(rng, x, 0.01, runs=seed % 4 == 1) for x in (c, h, l))
        if seed % 5 == 4:
            c[int(rng.integers(0, n))] = np.inf
        p = int(rng.integers(1, 60))
        fast = int(rng.integers(1, 20))
        slow = fast + int(rng.integers(1, 40))
        out = []
        for f, args in [(tw.rsi, (c, p)), (tw.macd, (c, fast, slow, int(rng.integers(1, 30)))), (tw.macd, (c,)),
                        (tw.atr, (h, l, c, p)), (tw.bollinger_bands, (c, p, 2.0)), (tw.supertrend, (h, l, c, p, 3.0)),
                        (tw.sma, (c, p)), (tw.ema, (c, p)), (tw.stochastic, (h, l, c, p, 3)), (tw.adx, (h, l, c, p)),
                        (tw.rolling_min, (c, p)), (tw.rolling_max, (c, p * 7))]:
            try:
                out.append(f(*args))
            except ValueError as e:
                out.append(e)
        return out

    @run(f"streaming_gaps/{seed}")
    def _(seed=seed):
        rng = np.random.default_rng(24_000 + seed)
        n = int(rng.integers(50, 400))
        _, o, h, l, c, v = bars(rng, n)
        c = gapped(rng, c, 0.02)
        p = int(rng.integers(1, 20))
        out = []
        for ind in [tw.Indicator.ema(p), tw.Indicator.wilder_ma(p), tw.Indicator.rsi(p), tw.Indicator.atr(p),
                    tw.Indicator.macd(3, 7, 2)]:
            vals = [ind.update_bar(float(o[i]), float(h[i]), float(l[i]), float(c[i])) for i in range(n)]
            ind.reset()
            vals.append([ind.update_bar(float(o[i]), float(h[i]), float(l[i]), float(c[i])) for i in range(n // 2)])
            out.append(vals)
        return out

    @run(f"optimize_book/{seed}")
    def _(seed=seed):
        rng = np.random.default_rng(25_000 + seed)
        n = int(rng.integers(2, 30))
        t = int(rng.integers(n + 5, 200))
        ids = [f"a{i}" for i in range(n)]
        model = tw.estimate_covariance(panel(rng, t, n), ids, 252.0)
        k = int(rng.integers(1, 5))
        sectors = [int(s) for s in rng.integers(0, k, n)]
        caps = [float(x) for x in rng.uniform(0.2, 1.0, k)]
        ls = seed % 2 == 1
        cfg = tw.OptimizerConfig(float(rng.uniform(0.5, 20)), float(rng.choice([0.0, 0.002, 0.02])),
                                 max(0.1, 1.5 / n), sectors, caps,
                                 no_trade_band=float(rng.choice([0.0, 0.005])),
                                 min_trade_value=float(rng.choice([0.0, 500.0])),
                                 portfolio_value=float(rng.choice([0.0, 1e6])),
                                 cash_max=0.0 if ls else float(rng.choice([0.0, 0.1])),
                                 short_cap=float(rng.choice([0.05, 0.2])) if ls else 0.0,
                                 gross_max=float(rng.choice([1.0, 1.5, 2.0])),
                                 net_min=float(rng.choice([-0.3, 0.0])) if ls else 0.0,
                                 net_max=float(rng.choice([0.5, 1.0])) if ls else 1.0)
        w0 = rng.dirichlet(np.ones(n)) * (0.9 if seed % 3 else 1.0)
        out = []
        try:
            out.append(tw.optimize_portfolio(model, rng.normal(0, 0.02, n), w0, ids, cfg))
        except ValueError as e:
            out.append(e)
        try:
            out.append(tw.batch_optimize_portfolios(
                model, [tw.OptimizeItem(f"o{i}", rng.normal(0, 0.02, n), w0) for i in range(2)], cfg))
        except ValueError as e:
            out.append(e)
        return out

SPLIT_UNITS = [(5, "minute"), (1, "day"), (1000, "tick"), (2e6, "volume"), (3e8, "value"), (1, "renko")]

for step, unit in SPLIT_UNITS:
    @run(f"aggregate_split/{unit}")
    def _(step=step, unit=unit):
        rng = np.random.default_rng(26_000 + len(unit))
        ts, o, h, l, c, v = bars(rng, 600_000, vol=0.001, spacing=MINUTE)
        return tw.aggregate_bars(ts, o, h, l, c, v, int(step), unit, brick_size=0.5)

for step, unit in SPLIT_UNITS + [(200, "tick_imbalance"), (200, "tick_runs"), (5000, "volume_imbalance"),
                                 (5000, "volume_runs"), (500_000, "value_imbalance"), (500_000, "value_runs")]:
    @run(f"from_ticks_split/{unit}")
    def _(step=step, unit=unit):
        rng = np.random.default_rng(27_000 + len(unit))
        n = 600_000
        ts = np.cumsum(rng.integers(1, 2 * 10**9, n)).astype(np.int64)
        ltp = gapped(rng, 100 * np.exp(np.cumsum(rng.normal(0, 0.0005, n))), 0.001)
        buy, sell = rng.integers(0, 100, n).astype(float), rng.integers(0, 100, n).astype(float)
        return tw.bars_from_ticks(ts, ltp, buy, sell, int(step), unit, brick_size=0.25)

SPECS = [
    ("equity", lambda: tw.InstrumentSpec.equity("E", 0.05, 10.0, 1.0, 0.2, 0.1, 0.001, 0.002)),
    ("futures", lambda: tw.InstrumentSpec.futures_contract("F", 10**18, 50.0, 2.0, 0.05, "U", 10**15, 0.1, 0.08,
                                                           0.0001, 0.0002)),
    ("perpetual", lambda: tw.InstrumentSpec.perpetual("P", 0.001, 1.0, 0.5, 0.001, "BTC", 0.05, 0.03, 0.0, 0.0004)),
    ("option", lambda: tw.InstrumentSpec.option("O", 18000.0, "put", 10**18, 50.0, 1.0, 0.05, "NIFTY", False,
                                                None, 0.0, 0.0, 0.0, 0.0, 0.12, 0.03)),
    ("option_binary", lambda: tw.InstrumentSpec.option("B", 1.0, "call", 10**18, 1.0, binary=True)),
    ("currency", lambda: tw.InstrumentSpec.currency_pair("C", 0.0001, 1000.0, 1000.0, 0.02, 0.01, 0.0, 0.00002)),
    ("index", lambda: tw.InstrumentSpec.index("I", 0.05)),
]
# Specs out of bounds: most are refused.
BAD_SPECS = [
    ("equity_negative", lambda: tw.InstrumentSpec.equity("E", -1.0)),
    ("futures_lot", lambda: tw.InstrumentSpec.futures_contract("F", 10**18, 0.0)),
    ("perpetual_margin", lambda: tw.InstrumentSpec.perpetual("P", margin_init=0.1, margin_maint=0.2)),
    ("option_span", lambda: tw.InstrumentSpec.option("O", 100.0, "call", 10**18, 1.0, span_pct=-0.1)),
    ("option_strike", lambda: tw.InstrumentSpec.option("O", -5.0, "call", 10**18, 1.0)),
    ("currency_fee", lambda: tw.InstrumentSpec.currency_pair("C", maker_fee=float("nan"))),
    ("futures_window", lambda: tw.InstrumentSpec.futures_contract("F", 10, 1.0, activation_ns=20)),
]
for label, fn in SPECS:
    run(f"instrument_spec/{label}")(fn)
for label, fn in BAD_SPECS:
    run(f"instrument_spec/{label}", refusals=ValueError)(fn)


# ---------------------------------------------------------------------------
# Refusals: the message text of bad arguments is part of the surface too.

REFUSALS = [
    ("sma_string", lambda: tw.sma("x", 3)),
    ("sma_float_period", lambda: tw.sma(np.ones(5), 2.5)),
    ("sma_negative", lambda: tw.sma(np.ones(5), -1)),
    ("sma_int_array", lambda: tw.sma(np.ones(5, dtype=np.int64), 3)),
    ("sma_kw", lambda: tw.sma(data=np.ones(5), period=3, extra=1)),
    ("sma_missing", lambda: tw.sma()),
    ("sma_many", lambda: tw.sma(np.ones(3), 1, 2)),
    ("macd_dup", lambda: tw.macd(np.ones(30), 12, fast_period=3)),
    ("config_fees", lambda: tw.BacktestConfig(fees=float("nan"))),
    ("config_str", lambda: tw.BacktestConfig(fees="x")),
    ("config_timing", lambda: tw.BacktestConfig(fill_timing="later")),
    ("config_squareoff", lambda: tw.BacktestConfig(squareoff_time="25:00")),
    ("config_max_positions", lambda: tw.BacktestConfig(max_positions=-1)),
    ("single_direction", lambda: tw.run_single_backtest(*bars(np.random.default_rng(0), 5),
                                                        np.zeros(5, bool), np.zeros(5, bool), direction=2)),
    ("single_lengths", lambda: tw.run_single_backtest(*bars(np.random.default_rng(0), 5),
                                                      np.zeros(4, bool), np.zeros(5, bool))),
    ("single_config_type", lambda: tw.run_single_backtest(*bars(np.random.default_rng(0), 5),
                                                          np.zeros(5, bool), np.zeros(5, bool), config=3)),
    ("kernel_oms", lambda: tw.KernelSession(oms_type="x")),
    ("kernel_order_kind", lambda: tw.KernelSession().submit_order("buy", "weird", 0, 0, "c", units=1.0)),
    ("kernel_order_side", lambda: tw.KernelSession().submit_order("hold", "market", 0, 0, "c", units=1.0)),
    ("portfolio_session_account", lambda: tw.PortfolioSession(account_type="x")),
    ("aggregate_unit", lambda: tw.aggregate_bars(*bars(np.random.default_rng(0), 5), 1, "fortnight")),
    ("covariance_ids", lambda: tw.estimate_covariance(np.ones((5, 2)), ["a"], 252.0)),
    ("optimizer_caps", lambda: tw.OptimizerConfig(1.0, 0.0, 0.5, [0], [0.5, 0.5])),
    ("mc_corr", lambda: tw.simulate_portfolio_mc([np.ones(5)], np.ones(1), [np.ones(2)], 1.0)),
    ("spec_right", lambda: tw.InstrumentSpec.option("X", 100.0, "sideways", 0, 1.0)),
    ("stop_percent_type", lambda: tw.StopConfig.fixed("x")),
    ("indicator_period", lambda: tw.Indicator.sma(0)),
    ("aggregator_unit", lambda: tw.BarAggregator(1, "x")),
    ("batch_item_direction", lambda: tw.batch_single_backtest(
        *bars(np.random.default_rng(0), 5), [tw.BatchSingleItem("odd", np.zeros(5, bool), np.zeros(5, bool),
                                                                 direction=2)])),
    ("batch_item_direction_zero", lambda: tw.batch_single_backtest(
        *bars(np.random.default_rng(0), 5), [tw.BatchSingleItem("z", np.zeros(5, bool), np.zeros(5, bool),
                                                                direction=0)])),
    ("portfolio_session_direction", lambda: tw.PortfolioSession().add_instrument("X", 0)),
    ("portfolio_session_direction_big", lambda: tw.PortfolioSession().add_instrument("X", -2**31)),
    ("kernel_session_direction", lambda: tw.KernelSession("X", 3)),
    ("single_direction_zero", lambda: tw.run_single_backtest(*bars(np.random.default_rng(0), 5),
                                                             np.zeros(5, bool), np.zeros(5, bool), direction=0)),
    ("options_direction", lambda: tw.run_options_backtest(*bars(np.random.default_rng(0), 5), np.ones(5),
                                                          np.zeros(5, bool), np.zeros(5, bool), direction=-3)),
    ("batch_items_type", lambda: tw.batch_single_backtest(*bars(np.random.default_rng(0), 5), [1, 2])),
]
for label, fn in REFUSALS:
    run(f"refusal/{label}", refusals=(TypeError, ValueError, OverflowError))(fn)


def main():
    only = sys.argv[1] if len(sys.argv) > 1 else ""
    for label, fn, refusals in RUNS:
        if only in label:
            print(label, digest(fn, refusals))


if __name__ == "__main__":
    main()
