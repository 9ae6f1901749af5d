import math
import re

import numpy as np
import pytest
from array_inputs import DAY, RESTAMPS, assert_dated_by_their_own_instrument, flags, inst, restamped, with_signal_bytes

import tarnwick as tw


def cfg(**kw):
    kw.setdefault("initial_capital", 90_000.0)
    kw.setdefault("fees", 0.0)
    return tw.BacktestConfig(**kw)


def rows(r):
    return [(t.id, t.symbol, t.entry_idx, t.exit_idx, t.size, t.exit_reason) for t in r.trades()]


@pytest.mark.parametrize("byte", [1, 77])
def test_weights_share_the_cash_at_entry(byte):
    # Signal arrays are read where they lie: any byte other than 0 is a set flag.
    a = with_signal_bytes(inst([100.0, 110.0, 120.0], (0,), (2,), weight=2.0, symbol="A"), byte)
    b = with_signal_bytes(inst([50.0, 45.0, 40.0], (0,), (2,), weight=1.0, symbol="B"), byte)
    r = tw.run_basket_backtest([a, b], cfg())
    # 2/3 of 90000 = 60000 -> 600 units at 100; 1/3 = 30000 -> 600 units at 50.
    assert rows(r) == [(0, "A", 0, 2, 600.0, "Signal"), (1, "B", 0, 2, 600.0, "Signal")]
    assert [t.pnl for t in r.trades()] == [12_000.0, -6_000.0]
    # bar 1: 600 x 110 + 600 x 45; bar 2: cash after both exits.
    np.testing.assert_array_equal(r.equity_curve(), [90_000.0, 93_000.0, 96_000.0])
    assert r.orders() == []
    t = r.trades()[0]
    assert (t.mae_price, t.mfe_pnl, t.fee_breakdown, t.entry_fees) == (None, None, None, 0.0)


@pytest.mark.parametrize("override, sizes", [
    (dict(lot_size=10.0), {"A": 30.0, "B": 600.0}),     # 37.5 units round down to 30
    (dict(lot_size=40.0), {"B": 600.0}),                # fewer than one lot: skipped
    (dict(alloted_capital=1_000.0), {"A": 1_000.0 / 800.0, "B": 600.0}),
])
def test_instrument_overrides(override, sizes):
    a = inst([800.0, 800.0], (0,), (), weight=1.0, symbol="A")
    b = inst([50.0, 50.0], (0,), (), weight=1.0, symbol="B")
    r = tw.run_basket_backtest([a, b], cfg(initial_capital=60_000.0),
                               instrument_configs={"A": tw.InstrumentConfig(**override), "C": tw.InstrumentConfig()})
    # 30000 each: A buys 37.5 units at 800, B 600 units at 50.
    assert {t.symbol: t.size for t in r.trades()} == pytest.approx(sizes, rel=1e-15)
    assert all(t.exit_reason == "EndOfData" for t in r.trades())


def test_short_instrument_profits_when_price_falls():
    r = tw.run_basket_backtest([inst([100.0, 90.0, 80.0], (0,), (2,), direction=-1)], cfg(initial_capital=10_000.0))
    (t,) = r.trades()
    assert (t.direction, t.pnl) == (-1, 2_000.0)
    np.testing.assert_array_equal(r.equity_curve(), [10_000.0, 11_000.0, 12_000.0])


def test_zero_weights_fill_nothing_and_entries_wait_for_an_exit():
    a = inst([100.0] * 5, (0, 1, 3), (2,), weight=0.0)
    r = tw.run_basket_backtest([a], cfg())
    assert r.trades() == []
    np.testing.assert_array_equal(r.equity_curve(), [90_000.0] * 5)


def test_next_bar_open_acts_one_bar_later():
    close = [100.0, 110.0, 120.0, 130.0]
    open_ = [99.0, 105.0, 115.0, 125.0]
    r = tw.run_basket_backtest([inst(close, (0,), (3,), open_=open_)], cfg(initial_capital=10_500.0,
                                                                              upon_bar_close=False))
    # Entry signalled at 0 fills at bar 1's open (100 units at 105); the exit on the last
    # bar is dropped, so the trade ends at the last close.
    assert rows(r) == [(0, "A", 1, 3, 100.0, "EndOfData")]
    (t,) = r.trades()
    assert (t.entry_price, t.exit_price) == (105.0, 130.0)
    np.testing.assert_array_equal(r.equity_curve(), [10_500.0, 11_000.0, 12_000.0, 13_000.0])


def test_exit_then_reentry_uses_the_cash_left():
    a = inst([100.0, 200.0, 100.0, 100.0], (0, 2), (1,))
    r = tw.run_basket_backtest([a], cfg(initial_capital=10_000.0))
    # Out at 200 with 20000, back in at 100 with 200 units.
    assert [(t.entry_idx, t.exit_idx, t.size) for t in r.trades()] == [(0, 1, 100.0), (2, 3, 200.0)]


# Two instruments: A enters at 0 and 3 and exits at 2; B enters at 3 only and exits at 4.
# The voting rules are the synchronizer's own tests; here each mode name reaches the basket.
@pytest.mark.parametrize("mode, trips", [
    ("all", [(3, 4)]),              # both enter at 3; B's exit at 4 suffices
    ("any", [(0, 5)]),              # A alone enters at 0; never both exiting: held to the end
    ("majority", [(0, 2), (3, 4)]),  # one of two is half: enough either way
    ("master", [(0, 2), (3, 5)]),    # A's own columns
])
def test_sync_modes(mode, trips):
    n = 6
    a = inst([100.0] * n, (0, 3), (2,), symbol="A")
    b = inst([100.0] * n, (3,), (4,), symbol="B")
    r = tw.run_basket_backtest([a, b], cfg(), mode)
    assert sorted({(t.entry_idx, t.exit_idx) for t in r.trades()}) == trips


@pytest.mark.parametrize("exits, fees, record_fees", [
    ((3,), 0.01, [2_100.0]),  # 1000 units: 1% of 100000 in, 1% of 110000 out
    ((), 0.01, [1_000.0]),    # held to the end: valued, not sold, no exit fee
    ((3,), 0.0, [0.0]),
])
def test_fee_total_is_what_the_records_carry(exits, fees, record_fees):
    a = inst([100.0, 100.0, 110.0, 110.0, 110.0], (0,), exits)
    r = tw.run_basket_backtest([a], cfg(initial_capital=100_000.0, fees=fees))
    assert [t.fees for t in r.trades()] == pytest.approx(record_fees, rel=1e-15)
    assert r.metrics.total_fees_paid == pytest.approx(sum(record_fees), rel=1e-15)


@pytest.mark.parametrize("moved", [0, 1])
@pytest.mark.parametrize("how", list(RESTAMPS))
def test_instruments_are_matched_by_bar_number_not_by_time(moved, how):
    pair = [inst([100.0, 110.0, 120.0, 120.0], (0,), (2,), symbol="A"),
            inst([50.0, 45.0, 40.0, 40.0], (0,), (2,), symbol="B")]
    base = tw.run_basket_backtest(pair, cfg())
    pair[moved] = restamped(pair[moved], how)
    r = tw.run_basket_backtest(pair, cfg())
    assert_dated_by_their_own_instrument(base, r, pair)
    # Only instrument 0's stamps annualise: hourly bars in a 375-minute session make 6.25 x
    # 252 = 1575 periods a year where daily bars make 365, and the ratios scale by the root.
    scale = math.sqrt(1575 / 365) if (moved, how) == (0, "hourly") else 1.0
    m, mb = r.metrics, base.metrics
    assert (m.sharpe_ratio, m.sortino_ratio) == (pytest.approx(mb.sharpe_ratio * scale, rel=1e-12),
                                                 pytest.approx(mb.sortino_ratio * scale, rel=1e-12))
    annualised = ("Sharpe Ratio", "Sortino Ratio")
    assert {k: v for k, v in m.to_dict().items() if k not in annualised} == \
        {k: v for k, v in mb.to_dict().items() if k not in annualised}
    assert "matched by bar number, not by time" in " ".join(tw.run_basket_backtest.__doc__.split())


def test_empty_basket():
    r = tw.run_basket_backtest([], cfg())
    assert r.trades() == [] and len(r.equity_curve()) == 0
    m = r.metrics
    assert (m.start_value, m.end_value, m.total_return_pct, m.total_trades) == (90_000.0, 90_000.0, 0.0, 0)


def test_legacy_annualization_reaches_the_metrics():
    # One winning trade: the legacy trade-return ratios read Sharpe 0 and an infinite Sortino.
    r = tw.run_basket_backtest([inst([100.0, 110.0, 120.0], (0,), (2,))], cfg(legacy_annualization=True))
    assert r.metrics.sharpe_ratio == 0.0 and r.metrics.sortino_ratio is None


def with_column(t, k, column):
    return t[:k] + (column,) + t[k + 1:]


@pytest.mark.parametrize("build, exc, text", [
    (lambda: [inst([1.0] * 3), inst([1.0] * 2)], ValueError, "All instruments must have same number of bars"),
    (lambda: [inst([1.0] * 3), inst([1.0] * 3)[:6] + (flags(2), flags(3)) + inst([1.0] * 3)[8:]], ValueError,
     "Signals must match OHLCV length"),
    (lambda: [inst([1.0] * 3), inst([1.0] * 3)[:7] + (flags(2),) + inst([1.0] * 3)[8:]], ValueError,
     "All signal arrays must have same length"),
    (lambda: [t[:7] + (flags(2),) + t[8:] for t in (inst([1.0] * 3), inst([1.0] * 3))], ValueError,
     "Entry and exit arrays must have same length"),
    (lambda: [inst([1.0] * 3), with_column(inst([1.0] * 3, symbol="B"), 2, np.ones(2))], ValueError,
     "instrument 'B': high has 2 values, close has 3"),
    (lambda: [inst([1.0] * 3), inst([1.0] * 3, weight=-1.0, symbol="B")], ValueError,
     "weight of instrument 1 ('B') must be a finite number >= 0, got -1"),
    (lambda: [inst([1.0] * 3, weight=float("nan"))], ValueError,
     "weight of instrument 0 ('A') must be a finite number >= 0, got NaN"),
])
def test_refusals(build, exc, text):
    with pytest.raises(exc, match="^" + re.escape(text)):
        tw.run_basket_backtest(build(), cfg())


def test_sync_mode_none_is_a_type_error():
    with pytest.raises(TypeError, match="sync_mode"):
        tw.run_basket_backtest([inst([1.0])], None, None)
    # config and instrument_configs as None are the same as omitting them.
    tw.run_basket_backtest([inst([1.0])], None, "all", None)
