import math
import re

import numpy as np
import pytest
from build_probe import import_probe

import tarnwick

probe = import_probe()

TRADE_ATTRS = [
    "id", "symbol", "entry_idx", "exit_idx", "entry_price", "exit_price", "size", "direction", "pnl",
    "return_pct", "entry_time", "exit_time", "fees", "entry_fees", "exit_fees", "fee_breakdown", "exit_reason",
    "mae_price", "mfe_price", "mae_pnl", "mfe_pnl",
]
ORDER_ATTRS = [
    "id", "client_id", "symbol", "side", "kind", "tif", "status", "submitted_idx", "submitted_ts",
    "requested_qty", "filled_qty", "avg_fill_price", "last_fill_idx", "fill_slices", "limit_price",
    "trigger_price", "reject_reason", "parent_id", "oco_group",
]
METRICS_ATTRS = [
    "total_return_pct", "sharpe_ratio", "sortino_ratio", "calmar_ratio", "omega_ratio", "max_drawdown_pct",
    "max_drawdown_duration", "max_drawdown_duration_secs", "ulcer_index", "time_under_water_pct",
    "win_rate_pct", "profit_factor", "expectancy", "sqn", "total_trades", "total_closed_trades",
    "total_open_trades", "open_trade_pnl", "winning_trades", "losing_trades", "start_value", "end_value",
    "total_fees_paid", "best_trade_pct", "worst_trade_pct", "avg_trade_return_pct", "avg_win_pct",
    "avg_loss_pct", "avg_winning_duration", "avg_losing_duration", "max_consecutive_wins",
    "max_consecutive_losses", "avg_holding_period", "avg_holding_period_secs", "exposure_pct", "payoff_ratio",
    "recovery_factor", "total_turnover", "return_skew", "return_kurtosis", "tail_ratio",
    "cost_to_gross_profit_pct", "breakeven_cost_multiple", "return_consistency_pct", "avg_drawdown_pct",
    "mae_mfe_coverage_pct", "avg_mae_pnl", "mfe_capture_ratio",
]
DICT_KEYS = [
    ("Start Value", "start_value"), ("End Value", "end_value"), ("Total Return [%]", "total_return_pct"),
    ("Total Fees Paid", "total_fees_paid"), ("Total Turnover", "total_turnover"),
    ("Max Drawdown [%]", "max_drawdown_pct"), ("Max Drawdown Duration", "max_drawdown_duration"),
    ("Max Drawdown Duration [s]", "max_drawdown_duration_secs"), ("Ulcer Index", "ulcer_index"),
    ("Time Under Water [%]", "time_under_water_pct"), ("Total Trades", "total_trades"),
    ("Total Closed Trades", "total_closed_trades"), ("Total Open Trades", "total_open_trades"),
    ("Open Trade PnL", "open_trade_pnl"), ("Win Rate [%]", "win_rate_pct"), ("Best Trade [%]", "best_trade_pct"),
    ("Worst Trade [%]", "worst_trade_pct"), ("Avg Winning Trade [%]", "avg_win_pct"),
    ("Avg Losing Trade [%]", "avg_loss_pct"), ("Avg Winning Trade Duration", "avg_winning_duration"),
    ("Avg Losing Trade Duration", "avg_losing_duration"), ("Profit Factor", "profit_factor"),
    ("Expectancy", "expectancy"), ("SQN", "sqn"), ("Sharpe Ratio", "sharpe_ratio"),
    ("Sortino Ratio", "sortino_ratio"), ("Calmar Ratio", "calmar_ratio"), ("Omega Ratio", "omega_ratio"),
    ("Cost / Gross Profit [%]", "cost_to_gross_profit_pct"), ("MFE Capture Ratio", "mfe_capture_ratio"),
    ("Avg Drawdown [%]", "avg_drawdown_pct"),
]
FEE_KEYS = {"brokerage", "stt", "exchange_txn", "sebi_fee", "stamp_duty", "gst", "total"}


def attributes(cls):
    return [n for n, v in vars(cls).items() if type(v).__name__ == "getset_descriptor"]


@pytest.fixture
def result():
    return probe.backtest_result()


# ---------------------------------------------------------------------------------------------
# Class faces


@pytest.mark.parametrize(
    "cls, doc, attrs",
    [
        (tarnwick.Trade, "Python-exposed trade.", TRADE_ATTRS),
        (tarnwick.Order, "Python-exposed order record.", ORDER_ATTRS),
        (tarnwick.BacktestMetrics, "Python-exposed backtest metrics.", METRICS_ATTRS),
        (tarnwick.BacktestResult, "Python-exposed backtest result.", ["metrics"]),
    ],
)
def test_class_face(cls, doc, attrs):
    assert cls.__doc__ == doc
    assert cls.__module__ == "builtins"
    assert attributes(cls) == attrs
    with pytest.raises(TypeError, match="^No constructor defined$"):
        cls()


def test_attribute_docstrings():
    documented = {
        (tarnwick.Trade, "fees"): "Total costs over the round trip, equal to `entry_fees + exit_fees`.",
        (tarnwick.Trade, "exit_fees"): "Costs charged when it was closed.\n\nZero when the exit was not a "
        "trade-out -- an option left to expire is\nnever sold, so it owes no exit-side brokerage or transaction tax.",
        (tarnwick.Trade, "mfe_pnl"): "Maximum Favourable Excursion in money: the unrealised profit at the\nbest "
        "point of the trade, before costs. Never negative.",
        (tarnwick.Order, "kind"): '"market", "limit", "stop_market", ... \u2014 the shape, not its prices.',
        (tarnwick.Order, "side"): '"buy" | "sell".',
        (tarnwick.BacktestMetrics, "avg_win_pct"): "None when no trade won -- an average over an empty set is "
        "undefined.",
        (tarnwick.BacktestMetrics, "time_under_water_pct"): "Share of equity samples strictly below the running "
        "high-water mark.",
    }
    for (cls, name), doc in documented.items():
        assert getattr(cls, name).__doc__ == doc, name
    # Thirteen trade attributes and ten order attributes carry no docstring.
    assert sum(getattr(tarnwick.Trade, n).__doc__ is None for n in TRADE_ATTRS) == 13
    assert sum(getattr(tarnwick.Order, n).__doc__ is None for n in ORDER_ATTRS) == 10
    assert sum(getattr(tarnwick.BacktestMetrics, n).__doc__ is not None for n in METRICS_ATTRS) == 10


@pytest.mark.parametrize(
    "name, sig",
    [("equity_curve", "($self)"), ("returns", "($self)"), ("drawdown_curve", "($self)"), ("trades", "($self)"),
     ("orders", "($self)")],
)
def test_result_methods_take_no_arguments(result, name, sig):
    assert getattr(tarnwick.BacktestResult, name).__text_signature__ == sig
    with pytest.raises(TypeError):
        getattr(result, name)(1)


def test_method_docstrings():
    assert tarnwick.BacktestMetrics.to_dict.__text_signature__ == "($self)"
    assert tarnwick.BacktestMetrics.to_dict.__doc__ == "Convert to dictionary of all metrics."
    assert tarnwick.BacktestResult.equity_curve.__doc__ == "Get equity curve as numpy array."
    assert tarnwick.BacktestResult.trades.__doc__ == "Get list of trades."
    assert tarnwick.BacktestResult.orders.__doc__ == (
        "Every order the run placed, in submission order \u2014 including the ones\nthat never filled. "
        "Empty for a run that placed no typed orders."
    )


# ---------------------------------------------------------------------------------------------
# Trades


def test_trade_values_and_repr(result):
    flat, itemised = result.trades()
    assert type(flat).__name__ == "Trade"
    assert repr(flat) == str(flat) == "Trade(symbol=ABC, entry=100.00, exit=105.50, pnl=550.00, return=5.50%)"
    assert (flat.id, flat.entry_idx, flat.exit_idx, flat.direction) == (1, 2, 5, -1)
    assert (flat.entry_time, flat.exit_time) == (-5, 7)
    assert all(type(getattr(flat, n)) is int for n in ("id", "entry_idx", "exit_idx", "direction", "entry_time"))
    assert flat.exit_reason == "Signal" and itemised.exit_reason == "EndOfData"
    assert (flat.mae_price, flat.mae_pnl, flat.mfe_price, flat.mfe_pnl) == (98.0, -200.0, None, None)
    assert itemised.mae_price is None


def test_fee_breakdown_is_a_new_seven_key_dict_or_none(result):
    flat, itemised = result.trades()
    assert flat.fee_breakdown is None
    first = itemised.fee_breakdown
    # The line amounts and their total are the assembly's own tests; here the dict's shape.
    assert set(first) == FEE_KEYS and all(type(v) is float for v in first.values())
    assert first["total"] == pytest.approx(itemised.fees, abs=1e-12)
    first["total"], first["extra"] = 0.0, 1.0
    second = itemised.fee_breakdown
    assert second is not first and set(second) == FEE_KEYS and second["total"] == pytest.approx(82.6812, abs=1e-12)


@pytest.mark.parametrize("op", ["set", "del"])
def test_records_are_read_only(result, op):
    trade = result.trades()[0]
    metrics = result.metrics
    for obj, name in ((trade, "pnl"), (result.orders()[0], "status"), (metrics, "sharpe_ratio"),
                      (result, "metrics")):
        with pytest.raises(AttributeError):
            if op == "set":
                setattr(obj, name, 1.0)
            else:
                delattr(obj, name)
    assert trade.pnl == 550.0


# ---------------------------------------------------------------------------------------------
# Orders


def test_order_values_and_reprs(result):
    filled, rejected = result.orders()
    assert repr(filled) == str(filled) == "Order(id=7, buy ABC, status=filled, filled=10)"
    # Rejection wins over the filled quantity.
    assert repr(rejected) == "Order(id=8, buy ABC, status=rejected, rejected=insufficient_margin)"
    assert (filled.client_id, filled.kind, filled.tif, filled.side) == ("c7", "market", "gtc", "buy")
    assert (filled.requested_qty, rejected.requested_qty, filled.filled_qty) == (10.0, None, 10.0)
    # 4 at 100.0 then 6 at 101.0: (400 + 606) / 10
    assert filled.avg_fill_price == pytest.approx(100.6, abs=1e-12)
    assert (filled.fill_slices, filled.last_fill_idx) == (2, 4)
    assert (filled.limit_price, filled.trigger_price, filled.reject_reason, filled.parent_id, filled.oco_group) == (
        None,) * 5
    assert rejected.limit_price == 99.0 and rejected.reject_reason == "insufficient_margin"


# ---------------------------------------------------------------------------------------------
# Metrics


def test_unbounded_ratios_read_none_measured_zeros_stay(result):
    m = result.metrics
    # profit factor infinite, calmar NaN, payoff -infinite
    assert (m.profit_factor, m.calmar_ratio, m.payoff_ratio) == (None, None, None)
    assert (m.sortino_ratio, m.omega_ratio, m.recovery_factor) == (0.0, 1.0, 3.0)
    assert m.avg_win_pct == 5.5 and m.avg_loss_pct is None
    assert type(m.total_trades) is int and type(m.max_drawdown_duration) is int


# One position held from 100 over 120, 90 and 130: the equity runs 10000, 12000, 9000,
# 13000, so the run returns 30 % and its deepest drawdown is 12000 -> 9000, 25 %.
CALMAR_CLOSES = np.array([100.0, 120.0, 90.0, 130.0])


@pytest.mark.parametrize("periods_per_year, annualised", [
    (1.0, (1.3 ** (1 / 3) - 1) * 100 / 25),  # three years of yearly bars
    (12.0, (1.3 ** 4 - 1) * 100 / 25),  # a quarter of a year of monthly bars
])
def test_calmar_is_the_run_return_over_the_drawdown_not_annualised(periods_per_year, annualised):
    n, c = len(CALMAR_CLOSES), CALMAR_CLOSES
    config = tarnwick.BacktestConfig(initial_capital=10_000.0, fees=0.0, periods_per_year=periods_per_year)
    entries, exits = np.array([True, False, False, False]), np.zeros(n, dtype=bool)
    m = tarnwick.run_single_backtest(np.arange(n, dtype=np.int64) * 86_400 * 10**9, c, c, c, c, np.zeros(n),
                                     entries, exits, config=config).metrics
    assert (m.total_return_pct, m.max_drawdown_pct) == (pytest.approx(30.0, rel=1e-14), pytest.approx(25.0))
    # The same 30 / 25 whatever the year, and the same figure as the recovery factor:
    # 3000 gained over a 2500 drawdown.
    assert m.calmar_ratio == pytest.approx(1.2, rel=1e-14)
    assert m.recovery_factor == pytest.approx(1.2, rel=1e-14)
    doc = " ".join(tarnwick.BacktestMetrics.calmar_ratio.__doc__.split())
    assert "not annualised" in doc
    # The annualised form the docstring gives, with the run's years (bars less one over the
    # periods per year), is the compound yearly return over the drawdown.
    form = re.search(r"The annualised form is (.*?), `years`", doc).group(1)
    years = (n - 1) / periods_per_year
    got = eval(form, {}, {"total_return_pct": m.total_return_pct, "max_drawdown_pct": m.max_drawdown_pct,
                          "years": years})
    assert got == pytest.approx(annualised, rel=1e-12)


def test_reprs_round_to_two_places_and_count_open_trades(result):
    # 12.3456 -> 12.35; three trades counted although one of them is still open
    assert repr(result.metrics) == "BacktestMetrics(return=12.35%, sharpe=1.25, max_dd=2.50%, trades=3)"
    assert repr(result) == str(result) == "BacktestResult(return=12.35%, trades=3, max_dd=2.50%)"


def test_to_dict_has_its_keys_in_order(result):
    m = result.metrics
    d = m.to_dict()
    assert list(d) == [k for k, _ in DICT_KEYS]
    for key, attr in DICT_KEYS:
        assert d[key] == getattr(m, attr) and type(d[key]) is type(getattr(m, attr)), key
    assert d["Profit Factor"] is None
    assert m.to_dict() is not d


def test_empty_run():
    r = probe.backtest_result(True)
    assert r.trades() == [] and r.orders() == []
    for curve in (r.equity_curve(), r.drawdown_curve(), r.returns()):
        assert curve.dtype == np.float64 and curve.shape == (0,)
    d = r.metrics.to_dict()
    assert d["Avg Winning Trade [%]"] is None and d["Total Trades"] == 0
    # Sums over no trades start from negative zero; the sign must survive into Python floats.
    for key in ("Total Fees Paid", "Total Turnover", "Open Trade PnL"):
        assert d[key] == 0.0 and math.copysign(1.0, d[key]) == -1.0, key
    assert repr(r) == "BacktestResult(return=0.00%, trades=0, max_dd=0.00%)"


# ---------------------------------------------------------------------------------------------
# Ownership


def test_every_read_is_a_fresh_copy(result):
    a, b = result.metrics, result.metrics
    assert a is not b
    assert [getattr(a, n) for n in METRICS_ATTRS] == [getattr(b, n) for n in METRICS_ATTRS]

    trades, again = result.trades(), result.trades()
    assert trades is not again and all(x is not y for x, y in zip(trades, again))
    trades.append(None)
    assert len(result.trades()) == 2
    orders = result.orders()
    assert orders[0] is not result.orders()[0]

    for method, expected in (("equity_curve", [100.0, 101.0, 99.0]), ("drawdown_curve", [0.0, 0.0, 2.5]),
                             ("returns", [0.0, 0.01, -0.25])):
        curve = getattr(result, method)()
        assert curve.dtype == np.float64 and curve.ndim == 1 and curve.flags.writeable
        assert curve.tolist() == expected
        curve[:] = -1.0
        assert getattr(result, method)().tolist() == expected


def test_nested_objects_outlive_the_result():
    r = probe.backtest_result()
    m, trades, curve = r.metrics, r.trades(), r.equity_curve()
    del r
    assert m.total_trades == 3 and trades[1].fee_breakdown["gst"] == 8.3412 and curve[1] == 101.0
