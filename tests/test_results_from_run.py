import math

import numpy as np
import pytest

from tarnwick import BacktestConfig, InstrumentConfig, KernelSession

D = 86_400_000_000_000


def round_trip(config=None, symbol="X"):
    s = KernelSession(symbol, config=config, instrument_config=InstrumentConfig(lot_size=1.0))
    s.step(0, 0, 100, 100, 100, 100, 1000.0, entry=True)
    s.step(1, D, 110, 110, 110, 110, 1000.0, exit=True)
    return s.finish()


def test_round_trip_figures():
    r = round_trip()
    (t,) = r.trades()
    # 999 units: entry fee 99.9, exit fee 109.89, gain 9990.
    assert t.pnl == pytest.approx(9780.21)
    assert t.fees == pytest.approx(209.79)
    assert t.return_pct == pytest.approx(9.79, abs=0.005)
    m = r.metrics
    assert m.total_return_pct == pytest.approx(9.78021)
    assert m.sharpe_ratio == 13.509256086106294
    assert m.calmar_ratio == pytest.approx(97.9)
    assert m.max_drawdown_pct == pytest.approx(0.0999)
    assert m.ulcer_index == pytest.approx(0.07063996744)
    assert m.exposure_pct == pytest.approx(50.0)
    assert m.total_turnover == pytest.approx(209790.0)
    assert m.profit_factor is None  # no losing trade: unbounded
    equity = r.equity_curve()
    np.testing.assert_allclose(equity, [99900.1, 109780.21])
    assert t.fee_breakdown is None


def test_segment_run_reports_fee_lines_that_sum_to_the_fees():
    r = round_trip(BacktestConfig(fee_segment="NSE", initial_capital=200000.0))
    (t,) = r.trades()
    lines = t.fee_breakdown
    assert set(lines) == {"brokerage", "stt", "exchange_txn", "sebi_fee", "stamp_duty", "gst", "total"}
    parts = sum(v for k, v in lines.items() if k != "total")
    assert lines["total"] == pytest.approx(parts)
    assert lines["total"] == pytest.approx(t.fees)
    assert t.fee_breakdown is not lines


def test_empty_run_sums_are_negative_zero():
    r = KernelSession().finish()
    m = r.metrics
    for name in ("total_fees_paid", "total_turnover", "open_trade_pnl"):
        v = getattr(m, name)
        assert v == 0.0 and math.copysign(1.0, v) == -1.0, name
    assert (m.sharpe_ratio, m.sortino_ratio, m.omega_ratio, m.calmar_ratio, m.profit_factor) == (0.0, 0.0, 1.0, 0.0, 0.0)
