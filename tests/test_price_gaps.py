"""A gap in the prices seen from Python: the exit waits for the next finite close (at the
next bar's open, ahead of the entry due there) and no curve or metric of the result turns
into NaN (the kernel's own tables are in C++)."""
import math

import numpy as np
import pytest
from array_inputs import DAY, flags, inst

import tarnwick as tw

NAN = float("nan")
CLOSE = [100.0, 100.0, NAN, 110.0, 120.0]


def single():
    n = len(CLOSE)
    c = np.array(CLOSE)
    cols = (np.arange(n, dtype=np.int64) * DAY, c, c, c, c, np.full(n, 1000.0))
    return tw.run_single_backtest(*cols, flags(n, 0), flags(n, 2), config=tw.BacktestConfig(fees=0.0))


def portfolio():
    r = tw.run_portfolio_backtest([inst(CLOSE, (0,), (2,))], tw.BacktestConfig(fees=0.0))
    return r.result


def session():
    s = tw.KernelSession(config=tw.BacktestConfig(fees=0.0))
    for i, c in enumerate(CLOSE):
        s.step(i, i * DAY, c, c, c, c, 1000.0, entry=i == 0, exit=i == 2)
    return s.finish()


@pytest.mark.parametrize("run", [single, portfolio, session], ids=["single", "portfolio", "kernel_session"])
def test_exit_on_a_missing_close_fills_at_the_next_finite_close(run):
    result = run()
    (t,) = result.trades()
    assert (t.exit_idx, t.exit_price, t.exit_reason) == (3, 110.0, "Signal")
    # 1000 units at 100, marked at 100 over the gap, sold at 110.
    np.testing.assert_array_equal(result.equity_curve(), [100_000.0, 100_000.0, 100_000.0, 110_000.0, 110_000.0])
    for name, value in result.metrics.to_dict().items():
        assert value is None or not (isinstance(value, float) and math.isnan(value)), name


# Next-bar open: entries decided on bars 0 and 4, the exit on bar 3, each acting at the
# next bar's open; closes 100 .. 107, no fees.
OPENS = [100.0, 100.0, 101.0, 102.0, None, 104.0, 105.0, 106.0]
NEXT_OPEN = tw.BacktestConfig(fees=0.0, fill_timing="next_bar_open")


def next_open_bars(open4):
    o = np.array([open4 if p is None else p for p in OPENS])
    c = np.arange(100.0, 108.0)
    return o, np.fmax(o, c), np.fmin(o, c), c


def next_open_single(open4):
    o, h, l, c = next_open_bars(open4)
    n = len(c)
    cols = (np.arange(n, dtype=np.int64) * DAY, o, h, l, c, np.full(n, 1000.0))
    return tw.run_single_backtest(*cols, flags(n, 0, 4), flags(n, 3), config=NEXT_OPEN)


def next_open_kernel_session(open4):
    s = tw.KernelSession(config=NEXT_OPEN)
    for i, bar in enumerate(zip(*next_open_bars(open4))):
        s.step(i, i * DAY, *bar, 1000.0, entry=i in (0, 4), exit=i == 3)
    return s.finish()


def next_open_portfolio_session(open4):
    s = tw.PortfolioSession(NEXT_OPEN)
    s.add_instrument("A")
    for i, bar in enumerate(zip(*next_open_bars(open4))):
        s.push_bar(0, i * DAY, *bar, 1000.0)
    for i in range(len(OPENS)):
        s.apply_current(entry=i in (0, 4), exit=i == 3)
    return s.finish().result


def next_open_portfolio(open4):
    o, _, _, c = next_open_bars(open4)
    return tw.run_portfolio_backtest([inst(c, (0, 4), (3,), open_=o)], NEXT_OPEN).result


@pytest.mark.parametrize("run", [next_open_single, next_open_kernel_session, next_open_portfolio_session,
                                 next_open_portfolio],
                         ids=["single", "kernel_session", "portfolio_session", "portfolio"])
@pytest.mark.parametrize("open4, exit_idx, exit_price", [(NAN, 5, 104.0), (103.5, 4, 103.5)],
                         ids=["missing_open", "tradable_open"])
def test_an_exit_that_waited_goes_before_the_entry_due_with_it(run, open4, exit_idx, exit_price):
    trades = [(t.entry_idx, t.entry_price, t.exit_idx, t.exit_price, t.exit_reason) for t in run(open4).trades()]
    assert trades == [(1, 100.0, exit_idx, exit_price, "Signal"), (5, 104.0, 7, 107.0, "EndOfData")]
