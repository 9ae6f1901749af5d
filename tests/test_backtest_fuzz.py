"""Random shapes, dtypes and values never crash the array backtests.

Each draw knows what it holds. A valid call (every array of its exact dtype, one dimension
and the common length, a direction of 1 or -1, prices that are either ordinary or gaps,
settings the configuration accepts) must succeed with finite curves, trades and money
figures. A call with a wrong dtype, shape or direction, a column shorter than the others, a
fee of the whole traded value or an ATR period of 0, must be refused with an ordinary Python
exception. Doubtful settings (no starting capital, a zero stop), longer columns and extreme
prices may go either way, but never crash.
"""

import math

import numpy as np
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import tarnwick as tw

EXPECTED_ERRORS = (TypeError, ValueError, OverflowError)
# Prices a market prints, and the gaps that mean "no price here" (NaN, infinities, 0 or below).
ORDINARY = st.floats(min_value=0.01, max_value=1e4)
GAPS = st.sampled_from([math.nan, math.inf, -math.inf, 0.0, -1.0])
# Anything at all, 1e-300 and 1e308 included: no claim on the figures, only on not crashing.
EXTREME = st.floats(allow_nan=True, allow_infinity=True, width=64)
SIZES = st.one_of(st.floats(min_value=0.0, max_value=1.0), st.sampled_from([math.nan, -1.0, 2.0]))
OTHER_DTYPES = [np.float64, np.int64, np.bool_, np.float32, np.int32]

VALID, DOUBTFUL, REFUSED = "valid", "doubtful", "refused"


class Draw:
    """The worst kind of thing a call is given so far. Half the draws keep to valid values
    throughout; left to chance, one of its dozen arguments would almost always be wrong."""

    def __init__(self, valid_only):
        self.valid_only = valid_only
        self.kind = VALID

    def mark(self, kind):
        rank = [VALID, DOUBTFUL, REFUSED]
        self.kind = max(self.kind, kind, key=rank.index)

    def pick(self, draw, valid, others):
        """One of `valid`, or when this draw may go wrong, one of both lists."""
        value = draw(st.sampled_from(valid if self.valid_only else valid + others))
        if value in others and value not in valid:
            self.mark(DOUBTFUL)
        return value

    def chance(self, draw, one_in):
        """True one time in `one_in`, never for a draw that keeps to valid values."""
        return not self.valid_only and draw(st.integers(0, one_in - 1)) == 0


@st.composite
def arrays(draw, d, n, dtype, values=None):
    # Mostly the right dtype, dimension and length; sometimes another.
    if d.chance(draw, 10):
        other = draw(st.sampled_from(OTHER_DTYPES))
        if other != dtype:
            d.mark(REFUSED)
        dtype = other
    length = draw(st.integers(0, n + 2)) if d.chance(draw, 8) else n
    if length < n:
        d.mark(REFUSED)
    elif length > n:
        # A longer price column than the closes is read up to their length today.
        d.mark(DOUBTFUL)
    if dtype == np.bool_:
        out = np.array(draw(st.lists(st.booleans(), min_size=length, max_size=length)), dtype=bool)
    elif dtype in (np.int64, np.int32):
        out = np.array(draw(st.lists(st.integers(-10**12, 10**12), min_size=length, max_size=length)),
                       dtype=np.int64).astype(dtype)
    else:
        if values is None or d.chance(draw, 8):
            values = EXTREME
            d.mark(DOUBTFUL)
        out = np.array(draw(st.lists(values, min_size=length, max_size=length)), dtype=np.float64)
        with np.errstate(over="ignore"):
            out = out.astype(dtype)
    if d.chance(draw, 12):
        d.mark(REFUSED)
        return out.reshape(1, -1)
    if draw(st.integers(0, 11)) == 0 and length > 1:
        return np.repeat(out, 2)[::2]  # a strided view, copied by the module
    return out


@st.composite
def configs(draw, d):
    """A recipe for a BacktestConfig, built inside the call: a refused setting raises there."""
    if draw(st.booleans()):
        return None
    kwargs = dict(
        initial_capital=d.pick(draw, [100_000.0, 1e-9], [0.0, -5.0, math.nan]),
        fees=d.pick(draw, [0.001, 0.0, -0.01, 0.5], [1.5]),
        slippage=draw(st.sampled_from([0.0, 0.01, -0.5])),
        upon_bar_close=draw(st.booleans()),
        fee_segment=draw(st.sampled_from([None, "NSE", "MCX-FUT", "nonsense"])),
        max_positions=draw(st.sampled_from([None, 0, 1])),
        max_drawdown_pct=draw(st.sampled_from([None, 0.0, 5.0])),
        fill_timing=draw(st.sampled_from([None, "same_bar_close", "next_bar_open", "same_bar_open_lookahead"])),
    )
    if kwargs["fees"] >= 1.0:
        d.mark(REFUSED)
    rules = []
    stop = draw(st.integers(0, 3))
    if stop == 1:
        period = d.pick(draw, list(range(1, 41)), [0])
        if period == 0:
            d.mark(REFUSED)
        rules.append(("set_atr_stop", d.pick(draw, [1.0, 2.5], [0.0]), period))
    elif stop == 2:
        rules.append(("set_fixed_stop", d.pick(draw, [1.0, 150.0], [0.0])))
    elif stop == 3:
        rules.append(("set_trailing_stop", 2.0))
    if draw(st.booleans()):
        rules.append(("set_risk_reward_target", draw(st.sampled_from([0.5, 2.0]))))
    return kwargs, rules


@st.composite
def instrument_configs(draw, d):
    if draw(st.integers(0, 3)):
        return None
    period = d.pick(draw, list(range(1, 31)), [0])
    if period == 0:
        d.mark(REFUSED)
    return draw(st.sampled_from([None, 0.0, 7.0])), period


def build_config(recipe):
    if recipe is None:
        return None
    kwargs, rules = recipe
    c = tw.BacktestConfig(**kwargs)
    for setter, *args in rules:
        getattr(c, setter)(*args)
    return c


def build_instrument(recipe):
    if recipe is None:
        return None
    lot_size, period = recipe
    inst = tw.InstrumentConfig(lot_size=lot_size)
    inst.set_atr_stop(1.0, period)
    return inst


@st.composite
def backtest_args(draw):
    d = Draw(valid_only=draw(st.booleans()))
    n = draw(st.integers(0, 25))
    prices = [draw(arrays(d, n, np.int64))]
    prices += [draw(arrays(d, n, np.float64, st.one_of(ORDINARY, GAPS))) for _ in range(5)]
    entries, exits = draw(arrays(d, n, np.bool_)), draw(arrays(d, n, np.bool_))
    direction = d.pick(draw, [1, -1], [0, 3])
    if direction not in (1, -1):
        d.mark(REFUSED)
    kw = dict(direction=direction, config=draw(configs(d)))
    if draw(st.booleans()):
        kw["position_sizes"] = draw(arrays(d, n, np.float64, SIZES))
    kw["instrument_config"] = draw(instrument_configs(d))
    return d.kind, prices, entries, exits, kw


def run_single(prices, entries, exits, kw):
    return tw.run_single_backtest(*prices, entries, exits, direction=kw["direction"],
                                  config=build_config(kw["config"]), position_sizes=kw.get("position_sizes"),
                                  instrument_config=build_instrument(kw["instrument_config"]))


def check_result(result, finite):
    curves = result.equity_curve(), result.returns(), result.drawdown_curve()
    assert len(curves[0]) == len(curves[1]) == len(curves[2])
    trades = result.trades()
    for t in trades:
        assert t.entry_idx <= t.exit_idx < max(len(curves[0]), 1)
    if not finite:
        return
    for curve in curves:
        assert np.isfinite(curve).all(), curve
    for t in trades:
        figures = (t.entry_price, t.exit_price, t.size, t.pnl, t.return_pct, t.fees)
        assert all(map(math.isfinite, figures)), (t, figures)
    m = result.metrics
    figures = (m.start_value, m.end_value, m.total_return_pct, m.max_drawdown_pct, m.total_fees_paid)
    assert all(map(math.isfinite, figures)), figures


def outcome(kind, call):
    """The call's result when it must or may succeed; None when it was refused as it must be."""
    if kind == VALID:
        return call()
    try:
        result = call()
    except EXPECTED_ERRORS:
        return None
    assert kind != REFUSED, "an invalid call was accepted"
    return result


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(backtest_args())
def test_run_single_backtest_never_crashes(args):
    kind, prices, entries, exits, kw = args
    result = outcome(kind, lambda: run_single(prices, entries, exits, kw))
    if result is not None:
        check_result(result, finite=kind == VALID)


@settings(max_examples=80, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(backtest_args(), st.integers(0, 3))
def test_batch_single_backtest_never_crashes(args, count):
    kind, prices, entries, exits, kw = args

    def call():
        config = build_config(kw["config"])
        items = [tw.BatchSingleItem(str(k), entries, exits, direction=kw["direction"], config=config,
                                    position_sizes=kw.get("position_sizes"),
                                    instrument_config=build_instrument(kw["instrument_config"]))
                 for k in range(count)]
        return tw.batch_single_backtest(*prices, items, config)

    if count == 0 and kind == REFUSED:
        # With no item, nothing but the bars is checked.
        kind = DOUBTFUL
    got = outcome(kind, call)
    if got is None:
        return
    assert [i for i, _ in got] == [str(k) for k in range(count)]
    for _, result in got:
        check_result(result, finite=kind == VALID)
