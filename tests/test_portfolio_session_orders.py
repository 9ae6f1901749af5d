import math

import pytest

from tarnwick import BacktestConfig, InstrumentSpec, PortfolioSession, PositionSnapshot

D = 86_400_000_000_000


def push_flat(s, inst, ts, price):
    s.push_bar(inst, ts, price, price, price, price, 1000.0)


def session(n, **kw):
    s = PortfolioSession(BacktestConfig(fees=0.0), **kw)
    for k in range(n):
        s.add_instrument(f"S{k}")
    return s


def kinds(ev):
    return [(e.kind, e.idx, e.order_id) for e in ev]


# ---------------------------------------------------------------------------
# Orders


def test_submitted_index_follows_the_pending_instrument():
    s = session(2)
    for t in (1, 2, 3):
        push_flat(s, 0, t, 100.0)
        push_flat(s, 1, t, 50.0)
    # Pending is A's first bar: B has applied nothing yet, so its order is stamped 0, not 99.
    b0 = s.submit_order(1, "buy", "limit", 99, 0, "b0", units=1.0, limit_price=10.0)
    assert kinds([e for _ in range(4) for e in s.apply_current()]) == [("order_accepted", 0, 0)]
    # Pending is A's third bar: A keeps the caller's 99, B is stamped with its own last index 1.
    a = s.submit_order(0, "buy", "limit", 99, 0, "a", units=1.0, limit_price=10.0)
    b1 = s.submit_order(1, "buy", "limit", 99, 0, "b1", units=1.0, limit_price=10.0)
    assert (a, b0, b1) == (0, 0, 1)
    assert kinds(s.apply_current()) == [("order_accepted", 99, 0)]
    assert kinds(s.apply_current()) == [("order_accepted", 1, 1)]


def test_working_orders_report_kind_status_and_units():
    s = session(1)
    s.submit_order(0, "buy", "limit", 0, 0, "lim", units=10.0, limit_price=90.0)
    s.submit_order(0, "sell", "stop_market", 0, 0, "stp", size_frac=0.5, trigger_price=80.0)
    s.submit_order(0, "buy", "market_if_touched", 0, 0, "mit", units=2.0, trigger_price=85.0)
    got = s.working_orders(0)
    assert got[0] == (0, "lim", "buy", "limit", "accepted", 0.0, 10.0)
    assert got[1][:6] == (1, "stp", "sell", "stopmarket", "accepted", 0.0) and math.isnan(got[1][6])
    assert got[2][3] == "marketiftouched"
    assert s.working_orders(0) is not s.working_orders(0)


def test_cancel_and_cancel_all():
    # Which orders a cancel reaches is the engine's own tests; here the calls reach the instrument's book.
    s = session(1)
    for cid in ("a", "b", "c"):
        s.submit_order(0, "buy", "limit", 0, 0, cid, units=1.0, limit_price=10.0)
    assert s.cancel_order(0, 4, 1) is True and s.cancel_order(0, 4, 1) is False
    assert s.cancel_all_orders(0, 5) == [0, 2] and s.working_orders(0) == []
    push_flat(s, 0, 1, 100.0)
    assert [(e.kind, e.idx) for e in s.apply_current()] == [
        ("order_accepted", 0), ("order_accepted", 0), ("order_accepted", 0),
        ("order_canceled", 4), ("order_canceled", 5), ("order_canceled", 5)]


def test_modify_order():
    s = session(1)
    lim = s.submit_order(0, "buy", "limit", 0, 0, "lim", units=10.0, limit_price=90.0)
    # The kinds' price table is the engine tests'; here the call reaches the instrument's order.
    assert s.modify_order(0, lim, units=5.0, limit_price=95.0) is True and s.working_orders(0)[0][6] == 5.0
    assert s.modify_order(0, 99, units=1.0) is False
    # The moved limit fills when a bar trades through 95 but not 90.
    push_flat(s, 0, 1, 100.0)
    s.apply_current()
    s.push_bar(0, 2, 100.0, 100.0, 94.0, 96.0, 1000.0)
    assert [e.kind for e in s.apply_current()] == ["order_filled", "entered"]


def test_one_cancels_other_across_the_group():
    s = session(1)
    ids = [s.submit_order(0, "buy", "limit", 0, 0, c, units=1.0, limit_price=p)
           for c, p in (("a", 50.0), ("b", 99.0), ("c", 40.0))]
    s.link_oco(0, [ids[2], ids[0], ids[1]])
    push_flat(s, 0, 1, 100.0)
    push_flat(s, 0, 2, 98.0)
    s.apply_current()
    ev = s.apply_current()
    assert [(e.kind, e.order_id) for e in ev if e.kind in ("order_filled", "order_canceled")] == [
        ("order_filled", 1), ("order_canceled", 0), ("order_canceled", 2)]


def test_order_refusals_name_the_rule():
    s = session(1)
    with pytest.raises(ValueError, match="^pass units or size_frac, not both$"):
        s.submit_order(0, "buy", "market", 0, 0, "x", units=1.0, size_frac=0.5)
    with pytest.raises(ValueError, match="unknown side"):
        s.submit_order(0, "hold", "market", 0, 0, "x", units=1.0)
    assert s.working_orders(0) == []


def test_request_close_acts_on_the_next_bar():
    s = session(1)
    push_flat(s, 0, 1, 100.0)
    push_flat(s, 0, 2, 105.0)
    s.apply_current(entry=True)
    pid = s.position(0).position_id
    s.request_close(0, pid)
    s.request_close(0, 999)
    ev = s.apply_current()
    assert [(e.kind, e.trade.exit_price) for e in ev] == [("exited", 105.0)]
    assert s.position(0) is None and s.positions(0) == []


# ---------------------------------------------------------------------------
# Adopting broker-held positions


def test_adopt_in_a_cash_account_pays_the_notional():
    s = session(1)
    spec = InstrumentSpec.futures_contract("FUT", 30 * D, 1.0, multiplier=25.0)
    s.add_instrument("F", instrument=spec)
    pid = s.adopt_position(0, 7, 100.0, 3.0)
    assert (s.cash(), s.free_capital()) == (99700.0, 99700.0)
    assert s.adopt_position(1, 7, 100.0, 2.0) == 0
    assert s.free_capital() == 99700.0 - 100.0 * 2.0 * 25.0
    pos = s.positions(0)
    assert len(pos) == 1 and isinstance(pos[0], PositionSnapshot)
    assert (pos[0].position_id, pos[0].entry_price, pos[0].size, pos[0].direction) == (pid, 100.0, 3.0, 1)
    assert (pos[0].stop_price, pos[0].target_price) == (None, None)
    # Marked at the adoption prices until a bar comes: 94700 + 3 x 100 + 2 x 100 x 25.
    assert s.equity() == 100_000.0


def test_adopt_after_quotes_and_depth_but_not_after_a_bar():
    s = session(1)
    s.push_tick(0, 1, 0.0, bid=99.0, ask=101.0)
    s.push_depth(0, 2, [(99.0, 1.0)], [(101.0, 1.0)])
    push_flat(s, 0, 3, 100.0)
    s.apply_current()
    s.apply_current()
    s.adopt_position(0, 0, 100.0, 1.0)
    s.apply_current()
    with pytest.raises(ValueError, match="^adopt_position must be called before the first applied event$"):
        s.adopt_position(0, 0, 100.0, 1.0)


LEVERAGED = {"account_type": "margin", "leverage": 2.0}


@pytest.mark.parametrize("account, price, size, message", [
    ({}, 100.0, -2.5, "adopt_position needs positive price and size (got size -2.5 @ 100)"),
    ({}, float("nan"), 1.0, "adopt_position needs positive price and size (got size 1 @ NaN)"),
    (LEVERAGED, 100.0, 1.0, "adopt_position requires a cash or fully funded account (initial margin rate 0.5 < 1.0); "
     "posted margin on a broker-held position is not derivable under leverage"),
])
def test_adopt_refusals_change_nothing(account, price, size, message):
    s = session(1, **account)
    with pytest.raises(ValueError) as e:
        s.adopt_position(0, 0, price, size)
    assert str(e.value) == message
    assert s.positions(0) == [] and s.cash() == 100000.0


def test_adopt_in_a_fully_funded_margin_account_locks_the_notional():
    s = session(1, account_type="margin", leverage=1.0)
    s.adopt_position(0, 0, 100.0, 10.0)
    assert (s.cash(), s.free_capital()) == (100000.0, 99000.0)


def test_adopt_respects_the_oms():
    s = session(1)
    s.add_instrument("H", oms_type="hedging")
    s.adopt_position(0, 0, 10.0, 1.0)
    with pytest.raises(ValueError, match="^ledger refused adoption: a position is already open$"):
        s.adopt_position(0, 0, 10.0, 1.0)
    assert [s.adopt_position(1, 0, 10.0, 1.0) for _ in range(2)] == [0, 1]
    assert len(s.positions(1)) == 2 and s.position(1).position_id == 0


# ---------------------------------------------------------------------------
# Cross-instrument option margin (fees 0, one lot, multiplier 50, span 10 %, exposure 3 %)


def option(symbol, strike, right, expiry=30 * D, underlying="NIFTY"):
    return InstrumentSpec.option(symbol, strike, right, expiry, 1.0, multiplier=50.0, underlying=underlying,
                                 span_pct=0.1, exposure_pct=0.03)


def margin_book(legs):
    """legs: (spec, side, premium); each leg filled for one unit at its premium."""
    s = PortfolioSession(BacktestConfig(fees=0.0), "margin", 1.0)
    for k, (spec, side, premium) in enumerate(legs):
        s.add_instrument(spec.symbol, direction=1 if side == "buy" else -1, instrument=spec)
        push_flat(s, k, 1, premium)
        s.submit_order(k, side, "market", 0, 0, f"leg{k}", units=1.0)
    for _ in legs:
        s.apply_current()
    assert s.cash() == 100000.0
    return s


C110, P90 = option("C110", 110.0, "call"), option("P90", 90.0, "put")


@pytest.mark.parametrize("legs, free", [
    # Uncovered: 0.1 x 110 x 50 = 550, plus exposure 0.03 x 5500 = 165; no premium offset for one leg.
    ([(C110, "sell", 3.0)], 100000.0 - 715.0),
    # Long 100 call (premium 8, fully funded: 400 locked) and short 110 call (premium 3).
    # Covered, worst loss 0; exposure 165; net premium 150 - 400 = -250: the short locks 415.
    ([(option("C100", 100.0, "call"), "buy", 8.0), (C110, "sell", 3.0)], 100000.0 - 400.0 - 415.0),
    # Uncovered: 0.1 x max(5500, 4500) = 550, exposure 165 + 135 = 300, premium received 150 + 100:
    # 600, split 715 : 585 between the call and the put.
    ([(C110, "sell", 3.0), (P90, "sell", 2.0)], pytest.approx(100000.0 - 600.0)),
    # Different expiries are different groups: 715 for the call, 0.1 x 4500 + 135 = 585 for the put.
    ([(C110, "sell", 3.0), (option("P90", 90.0, "put", expiry=60 * D), "sell", 2.0)], pytest.approx(100000.0 - 1300.0)),
])
def test_option_group_margin(legs, free):
    assert margin_book(legs).free_capital() == free


def test_a_group_margin_follows_its_remaining_legs():
    s = margin_book([(C110, "sell", 3.0), (P90, "sell", 2.0)])
    s.request_close(1, s.position(1).position_id)
    push_flat(s, 1, 2, 2.0)
    s.apply_current()
    assert s.free_capital() == pytest.approx(100000.0 - 715.0)


def test_futures_and_cash_accounts_take_no_part():
    fut = InstrumentSpec.futures_contract("NIFTYF", 30 * D, 1.0, multiplier=50.0, margin_init=0.2,
                                          underlying="NIFTY")
    s = PortfolioSession(BacktestConfig(fees=0.0), "margin", 5.0)
    s.add_instrument("F", instrument=fut)
    push_flat(s, 0, 1, 100.0)
    s.submit_order(0, "buy", "market", 0, 0, "f", units=2.0)
    s.apply_current()
    # 0.2 x 100 x 2 x 50 as the kernel locked it.
    assert s.free_capital() == 100000.0 - 2000.0
    c = PortfolioSession(BacktestConfig(fees=0.0))
    c.add_instrument("C", direction=-1, instrument=C110)
    push_flat(c, 0, 1, 3.0)
    c.submit_order(0, "sell", "market", 0, 0, "c", units=1.0)
    c.apply_current()
    assert c.free_capital() == c.cash()


# ---------------------------------------------------------------------------
# Queries


def test_queries_return_new_objects():
    s = session(1)
    push_flat(s, 0, 1, 100.0)
    s.submit_order(0, "buy", "market", 0, 0, "a", units=20.0)
    assert s.current() == (0, 0, 1, 100.0, 100.0, 100.0, 100.0, 1000.0)
    s.apply_current()
    assert s.positions(0) is not s.positions(0) and s.position(0).size == 20.0
