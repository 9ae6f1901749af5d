import numpy as np
import pytest

from tarnwick import _tarnwick


@pytest.mark.parametrize("cls, doc", [
    (_tarnwick.PortfolioResult, "Result of a shared-capital portfolio backtest."),
    (_tarnwick.InstrumentSummary, "Per-instrument attribution from a portfolio backtest."),
])
def test_classes_are_engine_made_only(cls, doc):
    assert cls.__doc__ == doc
    assert cls.__module__ == "builtins"
    with pytest.raises(TypeError, match="No constructor defined"):
        cls()


def test_metrics_shortcut_documents_itself():
    assert _tarnwick.PortfolioResult.metrics.__doc__ == "Portfolio metrics, computed on the constrained run."


def _one_trade_run(exit_price, symbol="A"):
    close = np.array([100.0, exit_price, exit_price])
    ts = np.arange(3, dtype=np.int64)
    entries = np.array([True, False, False])
    exits = np.array([False, True, False])
    inst = (ts, close, close, close, close, np.ones(3), entries, exits, 1, 1.0, symbol)
    cfg = _tarnwick.BacktestConfig(initial_capital=100.0, fees=0.0)
    return _tarnwick.run_portfolio_backtest([inst], cfg, "full")


@pytest.mark.parametrize("exit_price, text", [
    (100.125, "0.12"),            # pnl exactly 0.125: the tie goes to the even digit
    (99.875, "-0.12"),
])
def test_summary_repr_rounds_pnl_to_two_decimals(exit_price, text):
    (s,) = _one_trade_run(exit_price).per_instrument
    assert repr(s) == f"InstrumentSummary(symbol='A', trades=1, pnl={text}, rejected_entries=0)"
    assert str(s) == repr(s)


def test_summary_repr_keeps_quotes_unescaped():
    (s,) = _one_trade_run(101.0, symbol="O'Neil").per_instrument
    assert repr(s).startswith("InstrumentSummary(symbol='O'Neil', trades=1, pnl=1.00")


def test_reads_are_fresh_copies():
    r = _one_trade_run(110.0)
    assert r.result is not r.result
    assert r.metrics is not r.metrics and r.metrics is not r.result.metrics
    assert r.metrics.to_dict() == r.result.metrics.to_dict()
    a, b = r.per_instrument, r.per_instrument
    assert a is not b and a[0] is not b[0]
    a.clear()
    assert len(r.per_instrument) == 1
    assert (r.rejected_entries, r.halted, r.halted_at) == (0, False, None)
    assert repr(r) == "PortfolioResult(instruments=1, rejected_entries=0, halted=false)"
