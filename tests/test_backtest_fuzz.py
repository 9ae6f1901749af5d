"""Random shapes, dtypes and values never crash the array backtests: every call either
returns a well-formed result or raises an ordinary Python exception."""

import numpy as np
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import tarnwick as tw

EXPECTED_ERRORS = (TypeError, ValueError, OverflowError)
FLOATS = st.one_of(st.floats(allow_nan=True, allow_infinity=True, width=64),
                   st.floats(min_value=0.01, max_value=1e4))
DTYPES = [np.float64, np.int64, np.bool_, np.float32, np.int32]


@st.composite
def arrays(draw, n, dtype):
    # Mostly the right dtype and length; sometimes another dtype, shape or length.
    if draw(st.integers(0, 9)) == 0:
        dtype = draw(st.sampled_from(DTYPES))
    length = n if draw(st.integers(0, 7)) else draw(st.integers(0, n + 2))
    if dtype == np.bool_:
        values = np.array(draw(st.lists(st.booleans(), min_size=length, max_size=length)), dtype=bool)
    elif dtype in (np.int64, np.int32):
        values = np.array(draw(st.lists(st.integers(-10**12, 10**12), min_size=length, max_size=length)),
                          dtype=np.int64).astype(dtype)
    else:
        values = np.array(draw(st.lists(FLOATS, min_size=length, max_size=length)), dtype=np.float64)
        with np.errstate(over="ignore"):
            values = values.astype(dtype)
    shape = draw(st.integers(0, 11))
    if shape == 0:
        return values.reshape(1, -1)
    if shape == 1 and length > 1:
        return np.repeat(values, 2)[::2]  # a strided view
    return values


@st.composite
def configs(draw):
    if draw(st.booleans()):
        return None
    c = tw.BacktestConfig(
        initial_capital=draw(st.sampled_from([100_000.0, 1e-9, 1e300])),
        fees=draw(st.sampled_from([0.001, 0.0, -0.01, 1.5])),
        slippage=draw(st.sampled_from([0.0, 0.01, -0.5])),
        upon_bar_close=draw(st.booleans()),
        fee_segment=draw(st.sampled_from([None, "NSE", "MCX-FUT", "nonsense"])),
        max_positions=draw(st.sampled_from([None, 0, 1])),
        max_drawdown_pct=draw(st.sampled_from([None, 0.0, 5.0])),
        fill_timing=draw(st.sampled_from([None, "same_bar_close", "next_bar_open", "same_bar_open_lookahead"])),
    )
    stop = draw(st.integers(0, 3))
    if stop == 1:
        c.set_atr_stop(draw(st.sampled_from([1e-9, 1.0, 2.5])), draw(st.integers(0, 40)))
    elif stop == 2:
        c.set_fixed_stop(draw(st.sampled_from([1e-9, 1.0, 150.0])))
    elif stop == 3:
        c.set_trailing_stop(2.0)
    if draw(st.booleans()):
        c.set_risk_reward_target(draw(st.sampled_from([0.5, 2.0])))
    return c


@st.composite
def backtest_args(draw):
    n = draw(st.integers(0, 25))
    prices = [draw(arrays(n, np.int64))] + [draw(arrays(n, np.float64)) for _ in range(5)]
    entries, exits = draw(arrays(n, np.bool_)), draw(arrays(n, np.bool_))
    kw = dict(direction=draw(st.sampled_from([1, -1, 1, 0, 3])), config=draw(configs()))
    if draw(st.booleans()):
        kw["position_sizes"] = draw(arrays(n, np.float64))
    if draw(st.integers(0, 3)) == 0:
        inst = tw.InstrumentConfig(lot_size=draw(st.sampled_from([None, 0.0, 7.0])))
        inst.set_atr_stop(1.0, draw(st.integers(0, 30)))
        kw["instrument_config"] = inst
    return n, prices, entries, exits, kw


def check_result(result):
    n_curve = len(result.equity_curve())
    assert len(result.returns()) == n_curve == len(result.drawdown_curve())
    for t in result.trades():
        assert t.entry_idx <= t.exit_idx < max(n_curve, 1)


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(backtest_args())
def test_run_single_backtest_never_crashes(args):
    _, prices, entries, exits, kw = args
    try:
        result = tw.run_single_backtest(*prices, entries, exits, **kw)
    except EXPECTED_ERRORS:
        return
    check_result(result)


@settings(max_examples=80, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(backtest_args(), st.integers(0, 3))
def test_batch_single_backtest_never_crashes(args, count):
    _, prices, entries, exits, kw = args
    try:
        items = [tw.BatchSingleItem(str(k), entries, exits, direction=kw["direction"], config=kw["config"],
                                    position_sizes=kw.get("position_sizes"),
                                    instrument_config=kw.get("instrument_config")) for k in range(count)]
        got = tw.batch_single_backtest(*prices, items, kw["config"])
    except EXPECTED_ERRORS:
        return
    assert [i for i, _ in got] == [str(k) for k in range(count)]
    for _, result in got:
        check_result(result)
