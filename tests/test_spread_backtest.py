import numpy as np
import pytest
from array_inputs import DAY, flags

import tarnwick as tw

MINUTE = 60 * 10**9


def days(n):
    return np.arange(n, dtype=np.int64) * DAY


def spread(premiums, legs, entries, exits, ts=None, **kw):
    premiums = [np.asarray(p, dtype=np.float64) for p in premiums]
    if kw.get("legs_open_premiums") is not None:
        kw["legs_open_premiums"] = [np.asarray(p, dtype=np.float64) for p in kw["legs_open_premiums"]]
    n = len(entries)
    ts = days(n) if ts is None else ts
    return tw.run_spread_backtest(ts, np.full(n, 100.0), premiums, legs, entries, exits, **kw)


def no_fees(**kw):
    return tw.BacktestConfig(fees=0.0, **kw)


# A bought call (1 x 50) and two sold puts (-2 x 25) over four bars.
CALL = [10.0, 12.0, 15.0, 11.0]
PUT = [8.0, 7.0, 5.0, 9.0]
LEGS = [("CE", 100.0, 1, 50), ("pe", 100.0, -2, 25)]


def test_leg_signs_and_premiums_by_hand():
    r = spread([CALL, PUT], LEGS, flags(4, 0), flags(4, 2), config=no_fees())
    # Entry net premium: 1*10*50 - 2*8*25 = 500 - 400 = 100 (a net debit).
    # Bar 1: call (12-10)*50 = 100, put (7-8)*(-2)*25 = 50 -> open pnl 150.
    # Bar 2 (exit): call (15-10)*50 = 250, put (5-8)*(-2)*25 = 150 -> 400.
    assert r.equity_curve().tolist() == [100000.0, 100150.0, 100400.0, 100400.0]
    assert r.returns().tolist() == pytest.approx([0.0, 150 / 100000, 250 / 100150, 0.0])
    assert r.drawdown_curve().tolist() == [0.0] * 4
    (t,) = r.trades()
    assert (t.id, t.symbol, t.entry_idx, t.exit_idx, t.size, t.direction) == (1, "SPREAD", 0, 2, 1.0, 1)
    assert (t.entry_time, t.exit_time, t.exit_reason) == (0, 2 * DAY, "Signal")
    # Exit value: 1*15*50 - 2*5*25 = 750 - 250 = 500.
    assert (t.entry_price, t.exit_price, t.pnl, t.return_pct) == (100.0, 500.0, 400.0, 400.0)
    assert (t.fees, t.fee_breakdown, t.mae_price, t.mfe_price, t.mae_pnl, t.mfe_pnl) == (0.0, None, None, None,
                                                                                        None, None)


def test_flat_fees_per_leg():
    r = spread([CALL, PUT], LEGS, flags(4, 0), flags(4, 2), config=tw.BacktestConfig(fees=0.001))
    # Entry: call 10*50*0.001 = 0.5, put 8*(2*25)*0.001 = 0.4. Exit: 15*50*0.001 = 0.75, 5*50*0.001 = 0.25.
    (t,) = r.trades()
    assert (t.entry_fees, t.exit_fees, t.fees, t.pnl) == pytest.approx((0.9, 1.0, 1.9, 398.1))
    assert t.fee_breakdown is None
    assert r.equity_curve().tolist() == pytest.approx([99999.1, 100149.1, 100398.1, 100398.1])
    assert r.metrics.total_fees_paid == pytest.approx(1.9)


def options_nfo_lines(value, buy):
    # The options_nfo schedule written out: flat 20 brokerage, 0.15% STT on the sell
    # side, 0.03553% exchange, 1e-6 SEBI, 0.003% stamp duty on the buy side, 18% GST.
    brokerage, exchange, sebi = 20.0, value * 0.0003553, value * 1e-6
    return {"brokerage": brokerage, "stt": 0.0 if buy else value * 0.0015, "exchange_txn": exchange,
            "sebi_fee": sebi, "stamp_duty": value * 3e-5 if buy else 0.0, "gst": 0.18 * (brokerage + exchange + sebi)}


def summed(*fills):
    return {k: sum(f[k] for f in fills) for k in fills[0]}


def test_segment_fees_itemised_per_leg_and_side():
    r = spread([CALL, PUT], LEGS, flags(4, 0), flags(4, 2), config=tw.BacktestConfig(fee_segment="NFO-OPT"))
    # Entry buys the call (value 500) and sells the puts (value 8*50 = 400); the exit
    # sells the call (750) and buys the puts back (5*50 = 250).
    entry = summed(options_nfo_lines(500.0, True), options_nfo_lines(400.0, False))
    exit_ = summed(options_nfo_lines(750.0, False), options_nfo_lines(250.0, True))
    (t,) = r.trades()
    assert t.entry_fees == pytest.approx(sum(entry.values()))
    assert t.exit_fees == pytest.approx(sum(exit_.values()))
    assert t.fee_breakdown == pytest.approx({**summed(entry, exit_), "total": t.fees})
    assert t.pnl == pytest.approx(400.0 - t.fees)
    assert r.equity_curve()[-1] == pytest.approx(100000.0 + t.pnl)


def test_zero_quantity_leg_has_no_pnl_and_no_cost():
    legs = [("CE", 100.0, 1, 50), ("PE", 90.0, 0, 50)]
    with_zero = spread([CALL, PUT], legs, flags(4, 0), flags(4, 2), config=tw.BacktestConfig(fee_segment="NFO-OPT"))
    alone = spread([CALL], legs[:1], flags(4, 0), flags(4, 2), config=tw.BacktestConfig(fee_segment="NFO-OPT"))
    assert with_zero.trades()[0].pnl == alone.trades()[0].pnl
    assert with_zero.trades()[0].fee_breakdown == alone.trades()[0].fee_breakdown


def test_option_types_accepted_in_any_case():
    legs = [(t, 100.0, 1, 50) for t in ["ce", "Call", "c", "pe", "Put", "P"]]
    r = spread([CALL] * 6, legs, flags(4, 0), flags(4, 2), config=no_fees())
    assert r.trades()[0].pnl == 6 * 250.0


SINGLE_MSG = ("unknown option type {} for the leg at strike {}; expected one of CE/CALL/C or PE/PUT/P "
              "(case-insensitive). Defaulting would price a put as a call.")


@pytest.mark.parametrize("option_type, strike, shown", [
    ("CALLS", 18000.0, "18000"), (" CE", 250.5, "250.5"),
])
def test_unknown_option_type(option_type, strike, shown):
    with pytest.raises(ValueError) as e:
        spread([CALL], [(option_type, strike, 1, 50)], flags(4, 0), flags(4, 2))
    assert str(e.value) == SINGLE_MSG.format(option_type, shown)


OPEN_MSG = ("legs_open_premiums must mirror legs_premiums exactly -- same number of legs, same number of bars "
            "per leg")
EXPIRY_MSG = ("leg_expiry_timestamps has 2 entries but there are 3 legs; each leg needs its own expiry, matched by "
              "position. Guessing would settle the wrong leg.")


def test_refusals_come_in_order():
    three = [CALL, CALL, CALL]
    legs = [("CE", 1.0, 1, 1), ("XX", 2.0, 1, 1), ("PE", 3.0, 1, 1)]
    good_legs = [("CE", 1.0, 1, 1), ("C", 2.0, 1, 1), ("PE", 3.0, 1, 1)]
    short_open = [np.array(CALL), np.array(CALL), np.array(CALL[:-1])]
    e, x = flags(4, 0), flags(4, 2)
    with pytest.raises(ValueError, match=f"^{OPEN_MSG}$"):
        spread(three, legs, e, x, leg_expiry_timestamps=[1, 2], legs_open_premiums=short_open)
    # Only the first bad leg is reported.
    with pytest.raises(ValueError, match="^unknown option type XX for the leg at strike 2;"):
        spread(three, legs[:2] + [("worse", 3.0, 1, 1)], e, x, leg_expiry_timestamps=[1, 2])
    with pytest.raises(ValueError) as err:
        spread(three, good_legs, e, x, leg_expiry_timestamps=[1, 2])
    assert str(err.value) == EXPIRY_MSG
    # An open-premium series missing a leg is refused even when the timing never reads it.
    with pytest.raises(ValueError, match=f"^{OPEN_MSG}$"):
        spread(three, good_legs, e, x, legs_open_premiums=three[:2])


def test_loss_limit_and_target():
    # Bought call 1 x 10: pnl per bar (p - 10) * 10.
    prem = [10.0, 9.0, 7.9, 12.0, 14.0]
    loss = spread([prem], [("C", 1.0, 1, 10)], flags(5, 0), flags(5), max_loss=20.0, config=no_fees())
    (t,) = loss.trades()
    # Bar 1: -10 (not below -20); bar 2: -21 < -20.
    assert (t.exit_idx, t.exit_reason, t.pnl) == (2, "StopLoss", pytest.approx(-21.0))
    gain = spread([prem], [("C", 1.0, 1, 10)], flags(5, 0), flags(5), target_profit=20.0, config=no_fees())
    # Bar 3: +20 is not above 20; bar 4: +40.
    assert [(t.exit_idx, t.exit_reason, t.pnl) for t in gain.trades()] == [(4, "TakeProfit", 40.0)]
    # Both limits would hold at once: the loss limit wins.
    both = spread([prem], [("C", 1.0, 1, 10)], flags(5, 0), flags(5), max_loss=-100.0, target_profit=-100.0,
                  config=no_fees())
    assert both.trades()[0].exit_reason == "StopLoss"


def test_close_and_reopen_on_one_bar():
    r = spread([CALL], [("CE", 1.0, 1, 1)], flags(4, 0, 2), flags(4, 2), config=no_fees())
    t1, t2 = r.trades()
    assert (t1.id, t1.exit_idx, t1.exit_reason) == (1, 2, "Signal")
    # The second position enters at bar 2's premium and is closed at the end of the data.
    assert (t2.id, t2.entry_idx, t2.entry_price, t2.exit_idx, t2.exit_reason) == (2, 2, 15.0, 3, "EndOfData")
    assert t2.pnl == -4.0


def test_position_opened_on_the_last_bar_pays_both_fees():
    r = spread([CALL], [("CE", 1.0, 1, 50)], flags(4, 3), flags(4), config=tw.BacktestConfig(fees=0.01))
    (t,) = r.trades()
    # 11 * 50 = 550 traded twice at 1%: 5.5 + 5.5.
    assert (t.entry_idx, t.exit_idx, t.exit_reason) == (3, 3, "EndOfData")
    assert t.pnl == pytest.approx(-11.0)
    # The last sample shows the cash after the close, its drawdown follows.
    assert r.equity_curve()[-1] == pytest.approx(99989.0)
    assert r.drawdown_curve()[-1] == pytest.approx(11.0 / 100000 * 100)


def test_end_of_data_restates_equity_after_exit_costs():
    r = spread([CALL], [("CE", 1.0, 1, 100)], flags(4, 0), flags(4), config=tw.BacktestConfig(fees=0.001))
    # Entry 10*100*0.001 = 1; marks 11 at the end: exit 1100*0.001 = 1.1, open pnl 100.
    eq = r.equity_curve()
    assert eq[2] == pytest.approx(100000 - 1 + 500)
    assert eq[3] == pytest.approx(100000 - 1 + 100 - 1.1)
    # The last return is not restated: it still compares the marks.
    assert r.returns()[3] == pytest.approx((100000 - 1 + 100) / (100000 - 1 + 500) - 1)
    peak = 100000 - 1 + 500
    assert r.drawdown_curve()[3] == pytest.approx((peak - eq[3]) / peak * 100)


def test_expiry_settles_legs_one_by_one():
    ts = days(6)
    call = [10.0, 11.0, 12.0, 20.0, 30.0, 40.0]
    put = [5.0, 4.0, 3.0, 2.0, 1.0, 0.5]
    legs = [("CE", 100.0, 1, 10), ("PE", 90.0, -1, 10)]
    # The call expires at bar 2 (settles at 12), the put at bar 4 (settles at 1).
    r = spread([call, put], legs, flags(6, 0), flags(6), ts=ts, config=tw.BacktestConfig(fees=0.01),
               leg_expiry_timestamps=[2 * DAY, 4 * DAY])
    (t,) = r.trades()
    # Entry fees: (10*10 + 5*10) * 1% = 1.5. Settlement charges nothing and closes once no leg is live.
    assert (t.exit_idx, t.exit_reason, t.exit_fees) == (4, "Settlement", 0.0)
    # Call: (12-10)*10 = 20 at bar 2; put: (1-5)*(-1)*10 = 40 at bar 4.
    assert t.pnl == pytest.approx(60.0 - 1.5)
    # Exit value keeps each leg's settlement premium: 12*10 - 1*10.
    assert t.exit_price == pytest.approx(110.0)
    eq = r.equity_curve()
    # The call's pnl reaches cash at bar 2 and stays there while the prem keeps moving.
    assert eq[3] == pytest.approx(100000 - 1.5 + 20 + (2 - 5) * -10)
    # No leg may enter once an expiry has passed.
    again = spread([call, put], legs, flags(6, 0, 3, 5), flags(6), ts=ts, leg_expiry_timestamps=[2 * DAY, 4 * DAY])
    assert len(again.trades()) == 1


def test_spread_without_legs_settles_on_the_next_bar():
    r = tw.run_spread_backtest(days(3), np.ones(3), [], [], flags(3, 0), flags(3))
    (t,) = r.trades()
    assert (t.entry_idx, t.exit_idx, t.exit_reason, t.pnl, t.return_pct) == (0, 1, "Settlement", 0.0, 0.0)
    # A balanced debit and credit: zero net premium, so no return despite the pnl.
    r = spread([[5.0, 6.0], [5.0, 5.0]], [("CE", 1.0, 1, 1), ("CE", 2.0, -1, 1)], flags(2, 0), flags(2, 1),
               config=no_fees())
    (t,) = r.trades()
    assert (t.entry_price, t.pnl, t.return_pct) == (0.0, 1.0, 0.0)


def test_squareoff_once_per_local_day():
    # Bars every 30 minutes from 09:00 to 16:00 local time on two days; squareoff at 15:15.
    local = np.concatenate([np.arange(9 * 60, 16 * 60 + 1, 30) + d * 1440 for d in range(2)])
    offset = 19_800 * 10**9
    ts = local.astype(np.int64) * MINUTE - offset
    n = len(ts)
    prem = np.linspace(10.0, 20.0, n)
    cfg = no_fees(squareoff_time="15:15")
    cfg.session_tz_offset_ns = offset
    first_1530 = int(np.flatnonzero(local % 1440 == 15 * 60 + 30)[0])
    # Entry signals on every bar: the flagged bar neither keeps nor opens a position, the next bar may enter.
    r = spread([prem], [("CE", 1.0, 1, 1)], np.ones(n, dtype=bool), np.zeros(n, dtype=bool), ts=ts, config=cfg)
    trades = r.trades()
    assert (trades[0].entry_idx, trades[0].exit_idx, trades[0].exit_reason) == (0, first_1530, "Squareoff")
    assert trades[1].entry_idx == first_1530 + 1
    second_1530 = int(np.flatnonzero(local % 1440 == 15 * 60 + 30)[1])
    assert (trades[1].exit_idx, trades[1].exit_reason) == (second_1530, "Squareoff")
    # An exit signal on the flagged bar wins.
    sig = spread([prem], [("CE", 1.0, 1, 1)], flags(n, 0), flags(n, first_1530), ts=ts, config=cfg)
    assert sig.trades()[0].exit_reason == "Signal"


def test_next_bar_open_shifts_signals_and_uses_open_premiums():
    close = [10.0, 11.0, 12.0, 13.0, 14.0]
    open_ = [9.5, 10.5, 11.5, 12.5, 13.5]
    legs = [("CE", 1.0, 1, 1)]
    cfg = no_fees(fill_timing="next_bar_open")
    r = spread([close], legs, flags(5, 0, 4), flags(5, 2), config=cfg, legs_open_premiums=[open_])
    (t,) = r.trades()
    # Entry on bar 1 at its open premium; the exit signal of bar 2 acts on bar 3 at its open.
    assert (t.entry_idx, t.entry_price, t.exit_idx, t.exit_price, t.exit_reason) == (1, 10.5, 3, 12.5, "Signal")
    # The last bar's entry signal is dropped; bar 0 has none.
    # Bar 2 marks 12 against 10.5; bar 3 closes at 12.5.
    assert r.equity_curve().tolist() == [100000.0, 100000.0, 100001.5, 100002.0, 100002.0]
    # Without open premiums the shifted signals act at the closes; upon_bar_close=False is the same timing.
    plain = spread([close], legs, flags(5, 0), flags(5, 2), config=no_fees(upon_bar_close=False))
    assert [(t.entry_idx, t.entry_price, t.exit_idx, t.exit_price) for t in plain.trades()] == [(1, 11.0, 3, 13.0)]
    # The look-ahead timing reads the caller's signals and closing premiums unchanged.
    ahead = spread([close], legs, flags(5, 0), flags(5, 2), config=no_fees(fill_timing="same_bar_open_lookahead"),
                   legs_open_premiums=[open_])
    assert [(t.entry_idx, t.entry_price, t.exit_idx) for t in ahead.trades()] == [(0, 10.0, 2)]


@pytest.mark.parametrize("kw", [
    {"spread_type": "Iron_Condor"}, {"spread_type": ""},
    # Settings of the bar kernel that the spread engine has no use for.
    {"config": tw.BacktestConfig(slippage=0.05, max_positions=0, max_drawdown_pct=0.0001, partial_fills=True,
                                 order_latency_ns=10**12, fill_prob_limit=0.0, queue_fill_model=True)},
])
def test_labels_and_kernel_settings_change_nothing(kw):
    base = spread([CALL, PUT], LEGS, flags(4, 0), flags(4, 2))
    other = spread([CALL, PUT], LEGS, flags(4, 0), flags(4, 2), **kw)
    assert other.equity_curve().tolist() == base.equity_curve().tolist()
    assert [t.pnl for t in other.trades()] == [t.pnl for t in base.trades()]


@pytest.mark.parametrize("premiums, legs, entries, exits, message", [
    ([CALL, PUT[:-1]], LEGS, flags(4, 0), flags(4, 2), "legs_premiums[1] has 3 values, timestamps has 4"),
    ([CALL], LEGS, flags(4, 0), flags(4, 2), "legs_premiums has 1 series, leg_configs has 2"),
    ([CALL, PUT], LEGS[:1], flags(4, 0), flags(4, 2), "legs_premiums has 2 series, leg_configs has 1"),
    ([CALL, PUT], LEGS, flags(4, 0), flags(3), "exits has 3 values, timestamps has 4"),
    ([CALL, PUT], LEGS, flags(3, 0), flags(4, 2), "entries has 3 values, timestamps has 4"),
    ([CALL, PUT], LEGS, flags(6, 0), flags(4, 2), "entries has 6 values, timestamps has 4"),
])
def test_arrays_that_do_not_fit_the_bars_are_refused(premiums, legs, entries, exits, message):
    with pytest.raises(ValueError) as e:
        tw.run_spread_backtest(days(4), np.ones(4), [np.array(p) for p in premiums], legs, entries, exits)
    assert str(e.value) == message


def test_empty_bars():
    r = tw.run_spread_backtest(days(0), np.ones(0), [np.ones(0)], [("CE", 1.0, 1, 1)], flags(0), flags(0))
    assert r.equity_curve().size == 0 and r.trades() == []
    assert r.metrics.start_value == 100000.0 and r.metrics.end_value == 100000.0


def test_signature_and_doc():
    f = tw.run_spread_backtest
    assert f.__text_signature__ == (
        '(timestamps, underlying_close, legs_premiums, leg_configs, entries, exits, config=None, '
        'spread_type="custom", max_loss=None, target_profit=None, leg_expiry_timestamps=None, '
        'legs_open_premiums=None)')
    assert f.__doc__ == "Run spread backtest (multi-leg options)."
