import numpy as np
import pytest

from tarnwick import BacktestConfig, InstrumentSpec, PortfolioResult, PortfolioSession

FINISHED = "^session is finished; create a new one$"


def i64(*v):
    return np.array(v, dtype=np.int64)


def f64(*v):
    return np.array(v, dtype=np.float64)


def attach_flat(s, inst, ts, prices, volume=1000.0):
    p = f64(*prices)
    s.set_bars(inst, i64(*ts), p, p, p, p, np.full(len(prices), volume))


def push_flat(s, inst, ts, price):
    s.push_bar(inst, ts, price, price, price, price, 1000.0)


def book(*symbols, fees=0.0, account=(), **cfg):
    s = PortfolioSession(BacktestConfig(fees=fees, **cfg), *account)
    for sym in symbols:
        s.add_instrument(sym)
    return s


# ---------------------------------------------------------------------------
# Construction and registration


def test_fresh_session_defaults():
    s = PortfolioSession()
    assert (s.cash(), s.equity(), s.free_capital()) == (100000.0, 100000.0, 100000.0)
    assert len(s) == 0 and not s and s.remaining() == 0
    assert s.is_halted() is False
    assert s.add_instrument("X") == 0 and s.add_instrument("X") == 1 and s.add_instrument("Y") == 2


@pytest.mark.parametrize("kwargs, message", [
    ({"account_type": "margin", "leverage": -1.0}, "leverage must be finite and above 0, got -1"),
    ({"account_type": "margin", "leverage": float("inf")}, "leverage must be finite and above 0, got inf"),
    ({"account_type": "Margin"}, "account_type must be 'cash' or 'margin', got \"Margin\""),
])
def test_constructor_refusals(kwargs, message):
    with pytest.raises(ValueError) as e:
        PortfolioSession(**kwargs)
    assert str(e.value) == message


@pytest.mark.parametrize("kwargs, message", [
    ({"direction": 2}, "direction must be 1 or -1"),
    ({"oms_type": "Netting"}, "oms_type must be 'netting' or 'hedging', got Netting"),
    ({"instrument": InstrumentSpec.index("NIFTY")}, "instrument NIFTY is not tradable"),
])
def test_add_instrument_refusals_leave_no_instrument(kwargs, message):
    s = PortfolioSession()
    with pytest.raises(ValueError) as e:
        s.add_instrument("X", **kwargs)
    assert str(e.value) == message
    with pytest.raises(ValueError, match="^unknown instrument index 0$"):
        s.positions(0)


# ---------------------------------------------------------------------------
# The finished state


def instrument_calls(s, i):
    """Every call that names instrument i."""
    ts, p = i64(1), f64(1.0)
    m = np.zeros((1, 1))
    return [
        lambda: s.set_bars(i, ts, p, p, p, p, p),
        lambda: s.set_ticks(i, ts, p),
        lambda: s.set_depth(i, ts, m, m, m, m),
        lambda: s.push_bar(i, 1, 1.0, 1.0, 1.0, 1.0, 1.0),
        lambda: s.push_tick(i, 1, 0.0),  # appends nothing, still refused
        lambda: s.push_depth(i, 1, [], []),
        lambda: s.submit_order(i, "buy", "market", 0, 0, "c", units=1.0),
        lambda: s.cancel_order(i, 0, 0),
        lambda: s.modify_order(i, 0, units=1.0),
        lambda: s.cancel_all_orders(i, 0),
        lambda: s.link_oco(i, [1]),
        lambda: s.request_close(i, 0),
        lambda: s.set_underlying_price(i, 1.0),
        lambda: s.adopt_position(i, 0, 100.0, 1.0),
        lambda: s.positions(i), lambda: s.position(i), lambda: s.working_orders(i),
    ]


def test_finished_session_refuses_every_call():
    s = book("X")
    s.finish()
    with pytest.raises(ValueError, match="^session is already finished$"):
        s.finish()
    others = [lambda: s.add_instrument("Y"), lambda: s.set_underlying_price(0, None), s.seal, s.current,
              s.current_event, s.current_depth, s.remaining, s.apply_current, s.equity, s.cash, s.free_capital,
              s.is_halted, lambda: len(s), lambda: bool(s)]
    for call in instrument_calls(s, 0) + others:
        with pytest.raises(ValueError, match=FINISHED):
            call()


def test_unknown_instrument_index_is_refused_everywhere():
    s = book("A", "B", "C")
    for call in instrument_calls(s, 3):
        with pytest.raises(ValueError, match="^unknown instrument index 3$"):
            call()
    # None of the refused appends sealed the session: attached bars still merge.
    attach_flat(s, 0, [1, 2], [10.0, 11.0])
    s.seal()
    assert len(s) == 2


def test_length_and_truth_follow_the_schedule():
    s = book("X")
    push_flat(s, 0, 1, 100.0)
    push_flat(s, 0, 2, 100.0)
    assert len(s) == 2 and bool(s) and s.remaining() == 2
    s.apply_current()
    assert len(s) == 2 and s.remaining() == 1


# ---------------------------------------------------------------------------
# Applying entries against the shared pool


def test_two_instruments_share_one_cash_balance():
    s = book("A", "B")
    attach_flat(s, 0, [1, 2], [100.0, 110.0])
    attach_flat(s, 1, [1, 3], [50.0, 40.0])
    s.seal()
    # A takes half of 100000: 500 units at 100.
    ev = s.apply_current(entry=True, size_mult=0.5)
    assert [(e.kind, e.price, e.size) for e in ev] == [("entered", 100.0, 500.0)]
    assert s.cash() == 50000.0 and s.equity() == 100000.0
    # B sees only the 50000 left and takes half of it: 500 units at 50.
    ev = s.apply_current(entry=True, size_mult=0.5)
    assert [(e.kind, e.price, e.size) for e in ev] == [("entered", 50.0, 500.0)]
    assert s.cash() == 25000.0
    s.apply_current()  # A at 110: 25000 + 500 x 110 + 500 x 50 = 105000
    s.apply_current()  # B at 40: 25000 + 55000 + 20000 = 100000
    assert s.equity() == 100000.0
    assert s.apply_current() == [] and s.remaining() == 0

    r = s.finish()
    assert isinstance(r, PortfolioResult)
    # Closing A at 110 and B at 40 returns 55000 + 20000 to the 25000 left.
    assert list(r.result.equity_curve()) == [100000.0, 100000.0, 105000.0, 100000.0]
    assert list(r.result.returns()) == [0.0, 0.0, 0.05, pytest.approx(-5000.0 / 105000.0)]
    assert list(r.result.drawdown_curve()) == [0.0, 0.0, 0.0, pytest.approx(5000.0 / 105000.0 * 100.0)]
    assert [(t.pnl, t.exit_reason) for t in r.result.trades()] == [(5000.0, "EndOfData"), (-5000.0, "EndOfData")]
    assert [(p.symbol, p.trades, p.pnl, p.rejected_entries) for p in r.per_instrument] == [
        ("A", 1, 5000.0, 0), ("B", 1, -5000.0, 0)]
    assert r.result.orders() == []
    assert (r.halted, r.halted_at, r.rejected_entries) == (False, None, 0)


def test_fees_are_paid_from_the_pool():
    s = book("A", fees=0.001)
    push_flat(s, 0, 1, 100.0)
    s.submit_order(0, "buy", "market", 0, 0, "a", units=10.0)
    s.apply_current()
    # 10 x 100 = 1000 plus a 0.1% fee of 1.
    assert s.cash() == pytest.approx(100000.0 - 1001.0)
    assert s.equity() == pytest.approx(99999.0)


def test_a_trade_print_steps_and_marks_like_a_flat_bar():
    s = book("A")
    s.push_bar(0, 1, 100.0, 100.0, 100.0, 100.0, 1000.0)
    s.push_tick(0, 2, 110.0, ltq=5.0)
    s.submit_order(0, "buy", "market", 0, 0, "a", units=10.0)
    s.apply_current()
    assert s.current() is None
    assert s.current_event() == ("trade", 0, 1, 2, 110.0, 5.0, 0.0, 0.0, 0.0)
    assert s.apply_current() == []
    # 10 units bought at 100, marked at the print's 110.
    assert s.equity() == 100100.0 and s.cash() == 99000.0
    r = s.finish()
    assert list(r.result.equity_curve()) == [100000.0, 100100.0]


def test_quotes_and_depth_sample_nothing_and_mark_nothing():
    s = book("A")
    push_flat(s, 0, 1, 100.0)
    s.submit_order(0, "buy", "market", 0, 0, "a", units=10.0)
    s.apply_current()
    s.push_tick(0, 2, 0.0, bid=150.0, ask=151.0)
    s.push_depth(0, 3, [(160.0, 1.0)], [(161.0, 1.0)])
    assert s.apply_current() == [] and s.apply_current() == []
    assert s.equity() == 100000.0  # still marked at the bar's 100
    assert list(s.finish().result.equity_curve()) == [100000.0]


@pytest.mark.parametrize("max_positions, second", [
    (None, ("entered", None)), (0, ("entered", None)),
    (1, ("entry_rejected", "max_positions")),
])
def test_the_position_limit_counts_every_instrument(max_positions, second):
    s = book("A", "B", max_positions=max_positions)
    push_flat(s, 0, 1, 100.0)
    push_flat(s, 1, 1, 50.0)
    assert [e.kind for e in s.apply_current(entry=True, size_mult=0.1)] == ["entered"]
    assert [(e.kind, e.reject_reason) for e in s.apply_current(entry=True, size_mult=0.1)] == [second]


def test_drawdown_kill_switch_halts_every_instrument():
    s = book("A", "B", max_drawdown_pct=10.0)
    for t, (a, b) in enumerate([(100.0, 50.0), (90.0, 50.0), (90.0, 50.0)], start=1):
        push_flat(s, 0, t, a)
        push_flat(s, 1, t, b)
    s.apply_current(entry=True)  # A all in: 1000 units at 100
    s.apply_current()
    s.apply_current()  # A at 90: (100000 - 90000) / 100000 = 10 %, position 2 of the schedule
    ev = s.apply_current(entry=True)  # B's entry is refused
    assert [(e.kind, e.reject_reason) for e in ev] == [("entry_rejected", "drawdown_halt")]
    s.apply_current()
    ev = s.apply_current(entry=True)
    assert [e.kind for e in ev] == ["entry_rejected"]
    r = s.finish()
    assert (r.halted, r.halted_at, r.rejected_entries) == (True, 2, 2)
    assert [p.rejected_entries for p in r.per_instrument] == [0, 2]


def leveraged_pair(liquidate):
    # Leverage 4: initial margin 25 %, maintenance 12.5 % of notional.
    s = book("A", "B", "C", account=("margin", 4.0), liquidate_on_margin_call=liquidate)
    push_flat(s, 0, 1, 100.0)
    push_flat(s, 1, 1, 100.0)
    s.submit_order(0, "buy", "market", 0, 0, "a", units=1000.0)
    s.submit_order(1, "buy", "market", 0, 0, "b", units=1000.0)
    s.apply_current()
    s.apply_current()
    assert (s.cash(), s.free_capital()) == (100000.0, 50000.0)
    # B at 40: B's kernel sees 100000 - 25000 + (-60000) = 15000 against 5000;
    # the portfolio 40000 against 12500 + 5000. No call.
    push_flat(s, 1, 2, 40.0)
    assert [e.kind for e in s.apply_current()] == []
    # A at 70: A's kernel sees 75000 - 30000 = 45000 against 8750; the portfolio
    # 100000 - 30000 - 60000 = 10000 against 8750 + 5000 = 13750: a call.
    push_flat(s, 0, 2, 70.0)
    return s


def test_portfolio_margin_call_halts_every_instrument():
    s = leveraged_pair(liquidate=False)
    ev = s.apply_current()
    assert len(ev) == 1 and ev[0].kind == "margin_call"
    assert (ev[0].idx, ev[0].price, ev[0].size) == (1, 10000.0, 13750.0)
    assert (ev[0].direction, ev[0].trade, ev[0].order_id, ev[0].reject_reason) == (None, None, None, None)
    assert s.is_halted() and len(s.positions(0)) == 1
    # Still worse, but the portfolio check has latched: no second call.
    push_flat(s, 1, 3, 39.0)
    assert [e.kind for e in s.apply_current()] == []
    # An instrument without a position refuses entries too, even one registered later.
    s.add_instrument("D")
    push_flat(s, 2, 3, 10.0)
    push_flat(s, 3, 3, 10.0)
    for _ in range(2):
        assert [(e.kind, e.reject_reason) for e in s.apply_current(entry=True)] == [
            ("entry_rejected", "margin_call")]
    r = s.finish()
    assert (r.halted, r.halted_at) == (True, 3)


def test_margin_call_liquidates_every_instrument_when_configured():
    s = leveraged_pair(liquidate=True)
    ev = s.apply_current()
    assert [e.kind for e in ev] == ["margin_call", "exited", "exited"]
    assert [(e.trade.symbol, e.trade.exit_price, e.trade.exit_reason) for e in ev[1:]] == [
        ("A", 70.0, "Liquidation"), ("B", 40.0, "Liquidation")]
    assert s.positions(0) == [] and s.positions(1) == []
    # Losses of 30000 and 60000 leave 10000, and nothing is locked any more.
    assert s.cash() == pytest.approx(10000.0) and s.free_capital() == pytest.approx(10000.0)
    assert s.is_halted()
    r = s.finish()
    assert [t.exit_reason for t in r.result.trades()] == ["Liquidation", "Liquidation"]
    assert r.result.equity_curve()[-1] == pytest.approx(10000.0)


def test_a_kernel_margin_call_halts_the_other_instruments():
    s = book("A", "B", account=("margin", 4.0))
    push_flat(s, 0, 1, 100.0)
    s.submit_order(0, "buy", "market", 0, 0, "a", units=4000.0)
    s.apply_current()
    # 4000 units at 77: equity 100000 - 92000 = 8000 against 0.125 x 308000 = 38500.
    push_flat(s, 0, 2, 77.0)
    ev = s.apply_current()
    assert [e.kind for e in ev].count("margin_call") == 1
    assert s.is_halted()
    push_flat(s, 1, 3, 10.0)
    assert [(e.kind, e.reject_reason) for e in s.apply_current(entry=True)] == [("entry_rejected", "margin_call")]
    assert s.finish().halted_at == 1


@pytest.mark.parametrize("account, leverage, fees, b_price", [
    ("margin", 3.0, 0.001, 90.25),
    ("cash", 1.0, 0.0, 92.25),
], ids=["margin_leverage_3", "cash_without_fees"])
def test_an_entry_from_the_residue_of_an_all_in_one_is_refused(account, leverage, fees, b_price):
    # B takes the whole account on its bar 0; A's entry on its bar 1 would be sized from
    # the rounding left over and is refused, so A's bar-3 entry, after B has gone, opens.
    s = book("A", "B", fees=fees, account=(account, leverage))
    for t in range(4):
        push_flat(s, 1, t * 10 - 1, b_price)
        push_flat(s, 0, t * 10, 100.0)
    events = {}
    while s.remaining():
        at = s.current_event()[1:3]
        ev = s.apply_current(entry=at in ((1, 0), (0, 1), (0, 3)), exit=at == (1, 2))
        events[at] = [(e.kind, e.reject_reason) for e in ev]
    assert events[(0, 1)] == [("entry_rejected", "zero_size")]
    per_unit = fees + 1.0 / leverage if account == "margin" else 1.0 + fees
    b_units = 100000.0 / (b_price * per_unit)
    pool = 100000.0 - 2 * fees * b_price * b_units  # B's round trip at one price costs its two fees
    r = s.finish()
    assert [(t.symbol, t.entry_idx, t.exit_reason) for t in r.result.trades()] == [("B", 0, "Signal"),
                                                                                    ("A", 3, "EndOfData")]
    assert r.result.trades()[1].size == pytest.approx(pool / (100.0 * per_unit), rel=1e-12)
    assert (r.rejected_entries, [p.rejected_entries for p in r.per_instrument]) == (1, [1, 0])


# ---------------------------------------------------------------------------
# Finish


def test_finish_closes_at_the_last_applied_bar():
    s = book("A", "B", fees=0.001)
    push_flat(s, 0, 1, 100.0)
    push_flat(s, 0, 2, 110.0)
    push_flat(s, 0, 3, 500.0)  # never applied
    s.submit_order(0, "buy", "market", 0, 0, "a", units=100.0)
    s.adopt_position(1, 0, 10.0, 5.0)  # no bar ever applied for B: closed at its adoption price
    s.apply_current()
    s.apply_current()
    cash_before = s.cash()
    r = s.finish()
    trades = r.result.trades()
    assert [(t.symbol, t.exit_price, t.exit_reason) for t in trades] == [("A", 110.0, "EndOfData"),
                                                                         ("B", 10.0, "EndOfData")]
    assert r.result.equity_curve()[-1] == pytest.approx(cash_before + 100 * 110.0 + 5 * 10.0)
    assert [(p.symbol, p.trades) for p in r.per_instrument] == [("A", 1), ("B", 1)]


def test_instruments_sharing_a_symbol_report_each_others_trades():
    s = book("X", "X")
    for inst, price in ((0, 100.0), (1, 200.0)):
        push_flat(s, inst, 1, price)
        s.submit_order(inst, "buy", "market", 0, 0, "o", units=1.0)
    push_flat(s, 0, 2, 103.0)
    push_flat(s, 1, 2, 190.0)
    for _ in range(4):
        s.apply_current()
    r = s.finish()
    # 1 x (103 - 100) + 1 x (190 - 200) = -7 for both.
    assert [(p.symbol, p.trades, p.pnl) for p in r.per_instrument] == [("X", 2, -7.0), ("X", 2, -7.0)]
