import math

import numpy as np
import pytest
from array_inputs import DAY, flags

import tarnwick as tw

PREMIUMS = [100.0, 100.0, 110.0, 120.0, 90.0]


def run(premiums, entries, exits, n_bars=None, **kw):
    n = len(premiums) if n_bars is None else n_bars
    ts = np.arange(n, dtype=np.int64) * DAY
    px = np.linspace(20_000.0, 20_100.0, n)
    if not isinstance(premiums, np.ndarray):
        premiums = np.array(premiums, dtype=np.float64)
    return tw.run_options_backtest(ts, px, px, px, px, np.full(n, 1.0), premiums, entries, exits, **kw)


def flat(fees=0.001, **kw):
    return tw.BacktestConfig(fees=fees, initial_capital=100_000.0, **kw)


def test_percent_round_trip_with_flat_fees():
    r = run(PREMIUMS, flags(5, 1), flags(5, 3), config=flat(), lot_size=50)
    # 100000 x 1.0 / (100 x 50) = 20 contracts = 1000 units; entry fee 100000 x 0.001 = 100.
    (t,) = r.trades()
    assert (t.id, t.entry_idx, t.exit_idx, t.size, t.entry_price, t.exit_price) == (0, 1, 3, 1000.0, 100.0, 120.0)
    assert (t.entry_fees, t.exit_fees, t.fees) == pytest.approx((100.0, 120.0, 220.0))
    assert t.pnl == pytest.approx(20.0 * 1000 - 220.0)
    assert t.return_pct == pytest.approx(19_780.0 / 100_000.0 * 100)
    assert (t.symbol, t.direction, t.exit_reason, t.fee_breakdown) == ("OPTION", 1, "Signal", None)
    assert (t.entry_time, t.exit_time) == (DAY, 3 * DAY)
    assert (t.mae_price, t.mfe_price, t.mae_pnl, t.mfe_pnl) == (None, None, None, None)
    # Cash after the entry is -100; the position is marked at each bar's premium.
    equity = [100_000.0, 99_900.0, 109_900.0, 119_780.0, 119_780.0]
    assert r.equity_curve() == pytest.approx(equity)
    assert r.drawdown_curve() == pytest.approx([0.0, 0.1, 0.0, 0.0, 0.0])
    assert r.returns() == pytest.approx([0.0, -0.001, 10_000 / 99_900, 9_880 / 109_900, 0.0])
    m = r.metrics
    # calmar = 19.78 / 0.1
    assert (m.total_return_pct, m.max_drawdown_pct, m.calmar_ratio, m.total_fees_paid, m.end_value) == pytest.approx(
        (19.78, 0.1, 197.8, 220.0, 119_780.0))
    assert (m.total_trades, m.winning_trades, m.losing_trades, m.win_rate_pct, m.start_value) == (1, 1, 0, 100.0,
                                                                                                 100_000.0)
    # Nothing lost: the profit factor is infinite. The figures this engine does not measure stay neutral.
    assert (m.profit_factor, m.omega_ratio, m.payoff_ratio, m.recovery_factor, m.total_closed_trades, m.expectancy,
            m.avg_win_pct) == (None, 0.0, 0.0, 0.0, 0, 0.0, None)


def test_defaults_match_an_explicit_default_config():
    a = run(PREMIUMS, flags(5, 0), flags(5, 2))
    b = run(PREMIUMS, flags(5, 0), flags(5, 2), direction=1, symbol="OPTION", config=tw.BacktestConfig(),
            option_type="call", strike_selection="atm", size_type="percent", size_value=1.0, lot_size=1,
            strike_interval=50.0, option_open_prices=None)
    c = run(PREMIUMS, flags(5, 0), flags(5, 2), config=None)
    for x in (b, c):
        assert np.array_equal(a.equity_curve(), x.equity_curve())
        assert a.metrics.to_dict() == x.metrics.to_dict()
    # Default percent 1.0, lot 1, fee 0.001: 100000 / 100 = 1000 contracts of one unit.
    assert a.trades()[0].size == 1000.0
    assert tw.run_options_backtest.__doc__.strip().endswith("Run options backtest.")


@pytest.mark.parametrize("config, open_premiums, entry_idx, entry_price", [
    # Same-bar close: the flag's own bar; opening premiums are ignored.
    (flat(), None, 1, 100.0),
    (flat(), [1.0, 2.0, 3.0, 4.0, 5.0], 1, 100.0),
    # Next-bar open: one bar later, at the opening premium when given.
    (flat(upon_bar_close=False), None, 2, 110.0),
    (flat(upon_bar_close=False), [1.0, 2.0, 105.0, 4.0, 5.0], 2, 105.0),
    (flat(fill_timing="next_bar_open"), [1.0, 2.0, 105.0, 4.0, 5.0], 2, 105.0),
    (flat(fill_timing="same_bar_open_lookahead"), [1.0, 2.0, 105.0, 4.0, 5.0], 1, 100.0),
])
def test_fill_timing(config, open_premiums, entry_idx, entry_price):
    kw = {} if open_premiums is None else {"option_open_prices": np.array(open_premiums)}
    r = run(PREMIUMS, flags(5, 1), flags(5, 3), config=config, size_type="contracts", size_value=1.0, **kw)
    (t,) = r.trades()
    assert (t.entry_idx, t.entry_price) == (entry_idx, entry_price)
    # The mark is always the closing premium: equity = cash + premium[i] x units.
    cash = 100_000.0 - entry_price * (1 + 0.001)
    assert r.equity_curve()[entry_idx] == pytest.approx(cash + PREMIUMS[entry_idx])


def test_next_bar_open_drops_a_last_bar_entry_and_settles_at_the_closing_premium():
    r = run(PREMIUMS, flags(5, 4), flags(5), config=flat(upon_bar_close=False))
    assert r.trades() == []
    opens = np.array([1.0, 2.0, 3.0, 95.0, 7.0])
    r = run(PREMIUMS, flags(5, 2), flags(5), config=flat(fees=0.0, upon_bar_close=False), option_open_prices=opens,
            size_type="contracts", size_value=1.0)
    (t,) = r.trades()
    # Bought at bar 3's open 95, still open at the end: settled at option_prices[4] = 90.
    assert (t.entry_idx, t.exit_idx, t.entry_price, t.exit_price, t.exit_reason) == (3, 4, 95.0, 90.0, "EndOfData")


def test_end_of_data_restates_the_last_sample():
    premiums = [100.0, 100.0, 80.0]
    r = run(premiums, flags(3, 0), flags(3), config=flat(), size_type="contracts", size_value=10.0)
    (t,) = r.trades()
    # 10 units at 100, fee 1.0; settled at 80 with fee 0.8.
    assert (t.exit_idx, t.exit_price, t.exit_reason) == (2, 80.0, "EndOfData")
    assert t.pnl == pytest.approx(-200.0 - 1.8)
    cash = 100_000.0 - 1000.0 - 1.0 + 800.0 - 0.8
    assert r.equity_curve() == pytest.approx([99_999.0, 99_999.0, cash])
    assert r.equity_curve()[-1] == r.metrics.end_value
    assert r.drawdown_curve()[-1] == pytest.approx((100_000.0 - cash) / 100_000.0 * 100)
    assert r.returns()[-1] == pytest.approx((cash - 99_999.0) / 99_999.0)
    assert r.metrics.total_fees_paid == pytest.approx(1.8)


@pytest.mark.parametrize("size_type, size_value, lot_size, units", [
    ("contracts", 2.9, 1, 2.0),          # truncated toward zero
    ("CONTRACTS", 2.9, 5, 10.0),
    ("contracts", -1.0, 1, None),        # zero contracts: never opens
    ("contracts", float("nan"), 1, None),
    ("percent", 0.5, 50, 500.0),         # 50000 / (100 x 50) = 10 contracts
    ("percent", 0.0, 1, None),
    ("Risk", 0.5, 50, 500.0),            # sized like percent
    ("notional", 25_000.0, 50, 250.0),   # 25000 / 5000 = 5 contracts
    ("notional", 4_999.0, 50, None),     # below one contract
])
def test_size_types(size_type, size_value, lot_size, units):
    r = run(PREMIUMS, flags(5, 1), flags(5, 3), config=flat(), size_type=size_type, size_value=size_value,
            lot_size=lot_size)
    if units is None:
        assert r.trades() == []
        assert r.equity_curve().tolist() == [100_000.0] * 5
    else:
        assert [t.size for t in r.trades()] == [units]


def test_lot_size_zero_gives_the_largest_count_and_no_premium_flow():
    cfg = tw.BacktestConfig(fee_segment="NFO-OPT")
    r = run(PREMIUMS, flags(5, 1), flags(5, 3), config=cfg, lot_size=0)
    (t,) = r.trades()
    # No units, but the options brokerage is a flat 20 per fill plus 18% GST on it.
    assert (t.size, t.return_pct) == (0.0, 0.0)
    assert (t.entry_fees, t.exit_fees, t.pnl) == pytest.approx((23.6, 23.6, -47.2))


def test_a_skipped_entry_waits_for_the_next_exit():
    premiums = [0.0, 100.0, 100.0, 100.0, 100.0]
    entries = flags(5, 0, 1, 3)
    exits = flags(5, 2)
    r = run(premiums, entries, exits, config=flat(), size_type="contracts", size_value=1.0)
    # Bar 0 cannot buy at 0; bar 1's flag is dropped as the book counts as open; bar 2's exit
    # closes nothing; bar 3 buys.
    assert [(t.entry_idx, t.exit_reason) for t in r.trades()] == [(3, "EndOfData")]


@pytest.mark.parametrize("bad", [float("nan"), float("inf"), -1.0])
def test_an_unusable_premium_buys_nothing_even_with_a_fixed_count(bad):
    premiums = [bad, 100.0, 100.0]
    r = run(premiums, flags(3, 0), flags(3), config=flat(), size_type="contracts", size_value=1.0)
    assert r.trades() == []
    assert r.equity_curve()[1:].tolist() == [100_000.0] * 2


@pytest.mark.parametrize("direction", [1, -1])
def test_an_unknown_segment_text_charges_the_flat_fraction(direction):
    base = run(PREMIUMS, flags(5, 1), flags(5, 3), config=flat(), lot_size=50, direction=direction)
    r = run(PREMIUMS, flags(5, 1), flags(5, 3), config=flat(fee_segment="LSE"), lot_size=50, direction=direction)
    assert np.array_equal(r.equity_curve(), base.equity_curve())
    assert r.trades()[0].fees == base.trades()[0].fees and r.trades()[0].fee_breakdown is None
    assert r.trades()[0].direction == direction


# options_nfo at value V = 1000 units x premium: brokerage 20 flat, STT 0.15% on the sell side,
# exchange 0.03553%, SEBI 1e-6, stamp 0.003% on the buy side, GST 18% of brokerage + exchange + SEBI.
def nfo_lines(value, buy):
    exch, sebi = value * 0.0003553, value * 1e-6
    return {"brokerage": 20.0, "stt": 0.0 if buy else value * 0.0015, "exchange_txn": exch, "sebi_fee": sebi,
            "stamp_duty": value * 3e-5 if buy else 0.0, "gst": 0.18 * (20.0 + exch + sebi)}


@pytest.mark.parametrize("direction, entry_buy", [(1, True), (-1, False)])
def test_cost_segment_sides_follow_the_direction(direction, entry_buy):
    r = run(PREMIUMS, flags(5, 1), flags(5, 3), config=tw.BacktestConfig(fee_segment="nfo-opt"), lot_size=50,
            direction=direction)
    (t,) = r.trades()
    entry = nfo_lines(100_000.0, entry_buy)
    exit_ = nfo_lines(120_000.0, not entry_buy)
    assert (t.entry_fees, t.exit_fees) == pytest.approx((sum(entry.values()), sum(exit_.values())), rel=1e-12)
    expected = {k: entry[k] + exit_[k] for k in entry}
    expected["total"] = sum(expected.values())
    assert t.fee_breakdown == pytest.approx(expected, rel=1e-12)
    # 1000 units from 100 to 120: a long gains 20000, a short loses it.
    assert t.pnl == pytest.approx(direction * 20_000.0 - t.fees, rel=1e-12)


def test_pnl_of_exactly_zero_is_neither_a_win_nor_a_loss():
    r = run([100.0] * 4, flags(4, 0, 2), flags(4, 1, 3), config=flat(fees=0.0))
    m = r.metrics
    assert [t.pnl for t in r.trades()] == [0.0, 0.0]
    assert (m.total_trades, m.winning_trades, m.losing_trades, m.win_rate_pct, m.profit_factor, m.calmar_ratio) == (
        2, 0, 0, 0.0, 0.0, 0.0)


def test_sharpe_and_sortino_from_the_bar_returns():
    r = run(PREMIUMS, flags(5, 1), flags(5, 3), config=flat(), lot_size=50)
    rets = r.returns()
    # Daily bars: 365 periods a year.
    sharpe = rets.mean() / rets.std(ddof=1) * math.sqrt(365.0)
    neg = rets[rets < 0]
    sortino = math.sqrt(365.0) * rets.mean() / math.sqrt((neg**2).sum() / len(rets))
    assert r.metrics.sharpe_ratio == pytest.approx(sharpe, rel=1e-12)
    assert r.metrics.sortino_ratio == pytest.approx(sortino, rel=1e-12)


def test_trade_counts_and_legacy_ratios_over_records():
    premiums = [100.0, 110.0, 100.0, 95.0, 100.0, 120.0]
    r = run(premiums, flags(6, 0, 2, 4), flags(6, 1, 3, 5), config=flat(fees=0.0, legacy_annualization=True),
            size_type="contracts", size_value=1.0)
    # Trades: +10, -5, +20; their returns 10%, -5%, 20% on a fixed 252-period year.
    assert [t.pnl for t in r.trades()] == [10.0, -5.0, 20.0]
    m = r.metrics
    assert (m.total_trades, m.winning_trades, m.losing_trades) == (3, 2, 1)
    assert (m.win_rate_pct, m.profit_factor) == pytest.approx((200 / 3, 30.0 / 5.0))
    rets = np.array([0.10, -0.05, 0.20])
    down = math.sqrt((0.05**2) / 2)
    assert m.sharpe_ratio == pytest.approx(rets.mean() * 252 / (rets.std(ddof=1) * math.sqrt(252)))
    assert m.sortino_ratio == pytest.approx(rets.mean() * 252 / (down * math.sqrt(252)))
    one = run(PREMIUMS, flags(5, 1), flags(5, 3), config=flat(legacy_annualization=True))
    assert one.metrics.sharpe_ratio == 0.0 and one.metrics.sortino_ratio is None


def test_no_bars():
    r = run([], flags(0), flags(0))
    m = r.metrics
    assert r.trades() == [] and len(r.equity_curve()) == 0
    assert (m.end_value, m.total_return_pct, m.max_drawdown_pct, m.sharpe_ratio, m.sortino_ratio) == (
        100_000.0, 0.0, 0.0, 0.0, 0.0)


@pytest.mark.parametrize("kw", [
    {"option_type": "Put"}, {"strike_selection": "ITM1"},
    {"strike_selection": "otm2", "strike_interval": 7.0}, {"size_type": "PERCENT"},
])
def test_choices_match_any_case_and_select_nothing(kw):
    a = run(PREMIUMS, flags(5, 1), flags(5, 3), **kw)
    b = run(PREMIUMS, flags(5, 1), flags(5, 3))
    assert np.array_equal(a.equity_curve(), b.equity_curve())


@pytest.mark.parametrize("kw, message", [
    ({"option_type": "PUTS"}, "unknown option_type puts; expected call/ce/c or put/pe/p"),
    ({"strike_selection": "OTM3"}, "unknown strike_selection otm3; expected atm, otm1, otm2, itm1 or itm2"),
    ({"size_type": "Lots"}, "unknown size_type lots; expected percent, contracts, notional or risk"),
    # Earlier checks win: the opening premiums, then the direction, then the choices in order.
    ({"direction": 0, "option_type": "x", "size_type": "y"}, "direction must be 1 (long) or -1 (short), got 0"),
    ({"direction": -2, "option_open_prices": np.ones(4)},
     "option_open_prices has 4 entries but option_prices has 5; the two series must cover the same bars"),
    ({"option_type": "x", "strike_selection": "y"}, "unknown option_type x"),
    ({"strike_selection": "y", "size_type": "z"}, "unknown strike_selection y"),
])
def test_rejected_arguments(kw, message):
    with pytest.raises(ValueError) as e:
        run(PREMIUMS, flags(5, 1), flags(5, 3), **kw)
    assert str(e.value).startswith(message)


def test_lengths_are_checked():
    with pytest.raises(ValueError, match="close 4, option_prices 5"):
        run(PREMIUMS, flags(5, 1), flags(5, 3), n_bars=4)
    with pytest.raises(ValueError, match="option_prices 5, entries 4"):
        run(PREMIUMS, flags(4, 1), flags(4, 3))
    with pytest.raises(ValueError, match="Entry and exit arrays must have same length"):
        run(PREMIUMS, flags(5, 1), flags(4, 3))
    px = np.ones(5)
    with pytest.raises(ValueError, match="^timestamps has 4 values, option_prices has 5$"):
        tw.run_options_backtest(np.zeros(4, dtype=np.int64), px, px, px, px, px, px, flags(5, 1), flags(5, 3))
