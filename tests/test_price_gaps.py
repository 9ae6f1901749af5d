"""A gap in the prices seen from Python: the exit waits for the next finite close and no
curve or metric of the result turns into NaN (the kernel's own tables are in C++)."""
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
