"""Arrays whose memory is not aligned to their item size (a buffer at an odd offset, a
field of a packed record) are read like strided ones: every array-taking callable gives
exactly the result it gives for an aligned copy of the same values."""
import ast
from pathlib import Path

import numpy as np
import pytest
from array_inputs import DAY, at_odd_address, packed_field

import tarnwick as tw

N = 40
RNG = np.random.default_rng(14)


def aligned(a):
    out = np.array(a, copy=True)
    assert out.flags.aligned
    return out


# Market data every row draws from; each callable takes what it needs through `u`.
TS = np.arange(N, dtype=np.int64) * DAY
CLOSE = 100.0 * np.exp(np.cumsum(RNG.normal(0.0, 0.02, N)))
OPEN = np.concatenate([[100.0], CLOSE[:-1]])
HIGH = np.maximum(OPEN, CLOSE) * (1.0 + RNG.uniform(0.0, 0.01, N))
LOW = np.minimum(OPEN, CLOSE) * (1.0 - RNG.uniform(0.0, 0.01, N))
VOLUME = RNG.uniform(500.0, 1500.0, N)
ENTRIES = np.zeros(N, dtype=bool)
ENTRIES[[3, 17, 29]] = True
EXITS = np.zeros(N, dtype=bool)
EXITS[[10, 24, 35]] = True
PREMIUM = np.abs(RNG.normal(5.0, 1.0, N)) + 1.0
PANEL = RNG.normal(0.0, 1.0, (12, 5))
PRICES = 50.0 * np.exp(np.cumsum(RNG.normal(0.0, 0.01, (12, 5)), axis=0))
RETURNS = RNG.normal(0.0005, 0.01, (60, 3))
IDS = ["a", "b", "c"]
CONFIG = tw.OptimizerConfig(5.0, 0.001, 0.6, [0, 0, 1], [1.0, 1.0])


def ohlcv(u):
    return u(TS), u(OPEN), u(HIGH), u(LOW), u(CLOSE), u(VOLUME)


def instrument(u, symbol, scale=1.0):
    return (u(TS), u(OPEN * scale), u(HIGH * scale), u(LOW * scale), u(CLOSE * scale), u(VOLUME), ENTRIES, EXITS,
            1, 0.5, symbol)


def risk_model(u):
    return tw.estimate_covariance(u(RETURNS), IDS, 252.0)


def drive(session):
    """Everything a session shows while it is driven to the end."""
    seen = []
    session.seal()
    while session.remaining():
        seen.append((session.current_event(), session.current_depth()))
        seen.append(session.apply_current(entry=len(seen) % 7 == 0, exit=len(seen) % 11 == 0))
    seen.append(session.finish())
    return seen


def portfolio_session(attach):
    s = tw.PortfolioSession()
    s.add_instrument("A")
    attach(s)
    return drive(s)


def spread_item(u):
    return tw.BatchSpreadItem("s", [u(PREMIUM), u(PREMIUM * 0.5)], [("CE", 100.0, 1, 1), ("PE", 100.0, -1, 1)],
                              ENTRIES, EXITS, legs_open_premiums=[u(PREMIUM), u(PREMIUM * 0.5)])


def single_item(u):
    return tw.BatchSingleItem("s", ENTRIES, EXITS, position_sizes=u(np.full(N, 0.5)))


def optimize_item(u):
    return tw.OptimizeItem("o", u(np.array([0.001, 0.0005, -0.0002])), u(np.array([0.3, 0.3, 0.2])))


# One row per array-taking callable: a call with every array argument passed through `u`.
CALLS = {
    "compute_tick_entry_signals": lambda u: tw.compute_tick_entry_signals(
        u(RNG_SPREAD), u(RNG_BSI), u(RNG_RET), spread_pct_max=2.0, cooldown_ticks=2),
    "compute_tick_exit_signals": lambda u: tw.compute_tick_exit_signals(u(TS + HOURS), 12 * 3600 * 10**9),
    "tick_spread_pct": lambda u: tw.tick_spread_pct(u(CLOSE - 0.05), u(CLOSE + 0.05)),
    "buy_sell_imbalance_delta": lambda u: tw.buy_sell_imbalance_delta(u(np.cumsum(VOLUME)), u(np.cumsum(VOLUME[::-1]))),
    "return_window": lambda u: tw.return_window(u(TS // 1000), u(CLOSE), 0.2),
    "realized_vol_rolling": lambda u: tw.realized_vol_rolling(u(TS // 1000), u(CLOSE), 0.5),
    "oi_position_pct": lambda u: tw.oi_position_pct(u(VOLUME), 1500.0, 500.0),
    "tick_velocity": lambda u: tw.tick_velocity(u(TS // 1000), 0.3),
    "sma": lambda u: tw.sma(u(CLOSE), 5),
    "ema": lambda u: tw.ema(u(CLOSE), 5),
    "rsi": lambda u: tw.rsi(u(CLOSE), 5),
    "macd": lambda u: tw.macd(u(CLOSE), 3, 7, 4),
    "stochastic": lambda u: tw.stochastic(u(HIGH), u(LOW), u(CLOSE), 5, 3),
    "atr": lambda u: tw.atr(u(HIGH), u(LOW), u(CLOSE), 5),
    "bollinger_bands": lambda u: tw.bollinger_bands(u(CLOSE), 5),
    "adx": lambda u: tw.adx(u(HIGH), u(LOW), u(CLOSE), 5),
    "vwap": lambda u: tw.vwap(u(HIGH), u(LOW), u(CLOSE), u(VOLUME)),
    "supertrend": lambda u: tw.supertrend(u(HIGH), u(LOW), u(CLOSE), 5, 1.5),
    "rolling_min": lambda u: tw.rolling_min(u(CLOSE), 5),
    "rolling_max": lambda u: tw.rolling_max(u(CLOSE), 5),
    "run_single_backtest": lambda u: tw.run_single_backtest(*ohlcv(u), ENTRIES, EXITS,
                                                            position_sizes=u(np.full(N, 0.5))),
    "run_options_backtest": lambda u: tw.run_options_backtest(*ohlcv(u), u(PREMIUM), ENTRIES, EXITS,
                                                              option_open_prices=u(PREMIUM * 0.99)),
    "run_pairs_backtest": lambda u: tw.run_pairs_backtest(*ohlcv(u), u(TS), u(OPEN * 0.5), u(HIGH * 0.5),
                                                          u(LOW * 0.5), u(CLOSE * 0.5), u(VOLUME), ENTRIES, EXITS),
    "BatchSpreadItem": lambda u: tw.batch_spread_backtest(TS, CLOSE, [spread_item(u)]),
    "BatchSingleItem": lambda u: tw.batch_single_backtest(TS, OPEN, HIGH, LOW, CLOSE, VOLUME, [single_item(u)]),
    "batch_single_backtest": lambda u: tw.batch_single_backtest(*ohlcv(u), [single_item(aligned)]),
    "run_spread_backtest": lambda u: tw.run_spread_backtest(
        u(TS), u(CLOSE), [u(PREMIUM)], [("CE", 100.0, 1, 1)], ENTRIES, EXITS, legs_open_premiums=[u(PREMIUM)]),
    "run_tick_backtest": lambda u: tw.run_tick_backtest(
        u(TS), u(CLOSE), u(CLOSE - 0.05), u(CLOSE + 0.05), u(VOLUME), u(VOLUME[::-1].copy()), u(VOLUME),
        ENTRIES, EXITS),
    "batch_spread_backtest": lambda u: tw.batch_spread_backtest(u(TS), u(CLOSE), [spread_item(aligned)]),
    "aggregate_bars": lambda u: tw.aggregate_bars(*ohlcv(u), 3, "d"),
    "bars_from_ticks": lambda u: tw.bars_from_ticks(u(TS), u(CLOSE), u(VOLUME), u(VOLUME[::-1].copy()), 4, "d"),
    "run_basket_backtest": lambda u: tw.run_basket_backtest([instrument(u, "A"), instrument(u, "B", 2.0)]),
    "run_portfolio_backtest": lambda u: tw.run_portfolio_backtest([instrument(u, "A"), instrument(u, "B", 2.0)]),
    "run_multi_backtest": lambda u: tw.run_multi_backtest(*ohlcv(u), [(ENTRIES, EXITS, 1, 1.0, "m")]),
    "simulate_portfolio_mc": lambda u: tw.simulate_portfolio_mc(
        [u(RETURNS[:, 0]), u(RETURNS[:, 1])], u(np.array([0.6, 0.4])),
        [u(np.array([1.0, 0.3])), u(np.array([0.3, 1.0]))], 100.0, 80, 6, 3),
    "winsorize_panel": lambda u: tw.winsorize_panel(u(PANEL), 0.1),
    "zscore_panel": lambda u: tw.zscore_panel(u(PANEL), 2),
    "rank_panel": lambda u: tw.rank_panel(u(PANEL), 2),
    "momentum_panel": lambda u: tw.momentum_panel(u(PRICES), 4, 1),
    "composite_scores": lambda u: tw.composite_scores([u(PANEL), u(PANEL[::-1].copy())], u(np.array([0.7, 0.3]))),
    "rank_ic": lambda u: tw.rank_ic(u(PANEL), u(PRICES), 2, 3),
    "simulate_rebalance_policy": lambda u: tw.simulate_rebalance_policy(
        u(PRICES), u(np.full((12, 5), 0.2)), 1e6, "calendar", 3.0),
    "OptimizeItem": lambda u: tw.batch_optimize_portfolios(risk_model(aligned), [optimize_item(u)], CONFIG),
    "estimate_covariance": lambda u: risk_model(u),
    "optimize_portfolio": lambda u: tw.optimize_portfolio(
        risk_model(aligned), u(np.array([0.001, 0.0005, -0.0002])), u(np.array([0.3, 0.3, 0.2])), IDS, CONFIG),
    "compute_risk_contributions": lambda u: tw.compute_risk_contributions(
        risk_model(aligned), u(np.array([0.5, 0.3, 0.2])), IDS),
    "PortfolioSession.set_bars": lambda u: portfolio_session(lambda s: s.set_bars(0, *ohlcv(u))),
    "PortfolioSession.set_ticks": lambda u: portfolio_session(lambda s: s.set_ticks(
        0, u(TS), u(CLOSE), u(CLOSE - 0.05), u(CLOSE + 0.05), u(VOLUME), u(VOLUME[::-1].copy()), u(VOLUME),
        u(VOLUME), u(VOLUME), u(VOLUME))),
    "PortfolioSession.set_depth": lambda u: portfolio_session(lambda s: s.set_depth(
        0, u(TS), u(np.stack([CLOSE - 0.1, CLOSE - 0.2], axis=1)), u(np.full((N, 2), 3.0)),
        u(np.stack([CLOSE + 0.1, CLOSE + 0.2], axis=1)), u(np.full((N, 2), 4.0)))),
}
HOURS = (np.arange(N, dtype=np.int64) % 24) * 3600 * 10**9
RNG_SPREAD = RNG.uniform(0.0, 3.0, N)
RNG_BSI = RNG.normal(0.0, 1.0, N)
RNG_RET = RNG.normal(0.0, 0.5, N)


def snapshot(value):
    """A comparable picture of a result: arrays and floats by their bits, records by every
    attribute and every argument-free method."""
    if value is None or isinstance(value, (bool, int, str)):
        return value
    if isinstance(value, float):
        return ("float", value.hex())
    if isinstance(value, np.ndarray):
        return ("array", value.dtype.str, value.shape, value.tobytes())
    if isinstance(value, (list, tuple)):
        return tuple(snapshot(v) for v in value)
    if isinstance(value, dict):
        return tuple((k, snapshot(v)) for k, v in value.items())
    picture = [type(value).__name__]
    for name in sorted(n for n in dir(value) if not n.startswith("_")):
        attribute = getattr(value, name)
        if callable(attribute):
            if getattr(attribute, "__text_signature__", None) != "($self)":
                continue
            attribute = attribute()
        picture.append((name, snapshot(attribute)))
    return tuple(picture)


def counting(transform):
    """`transform`, counting the arrays it was given whose items span several bytes."""
    def u(a):
        if np.asarray(a).dtype.itemsize > 1:
            u.count += 1
        return transform(a)
    u.count = 0
    return u


@pytest.mark.parametrize("transform", [at_odd_address, packed_field], ids=["odd-offset", "packed-field"])
@pytest.mark.parametrize("name", list(CALLS))
def test_results_equal_those_of_aligned_copies(name, transform):
    u = counting(transform)
    got = snapshot(CALLS[name](u))
    assert u.count > 0  # the row does hand over unaligned arrays
    assert got == snapshot(CALLS[name](aligned))


def array_taking_callables():
    """The callables whose parameters the module's stub types as arrays (or as tuples or
    lists holding arrays); stubtest holds the stub to the module."""
    stub = ast.parse(Path(tw._tarnwick.__file__).with_name("_tarnwick.pyi").read_text())
    holds_arrays = {"NDArray"}
    for node in stub.body:  # aliases of array-holding types
        value = getattr(node, "value", None)
        if isinstance(node, (ast.Assign, ast.AnnAssign)) and value is not None and "NDArray" in ast.unparse(value):
            targets = node.targets if isinstance(node, ast.Assign) else [node.target]
            holds_arrays |= {t.id for t in targets}

    def takes_arrays(fn):
        annotations = [ast.unparse(a.annotation) for a in fn.args.args if a.annotation is not None]
        return any(name in text for text in annotations for name in holds_arrays)

    found = set()
    for node in stub.body:
        if isinstance(node, ast.FunctionDef) and takes_arrays(node):
            found.add(node.name)
        if isinstance(node, ast.ClassDef):
            for fn in node.body:
                if isinstance(fn, ast.FunctionDef) and takes_arrays(fn):
                    found.add(node.name if fn.name == "__new__" else f"{node.name}.{fn.name}")
    return found


def test_table_covers_every_array_taking_callable():
    assert array_taking_callables() == set(CALLS)
    assert len(CALLS) == 49
