import pytest

from tarnwick import InstrumentConfig, KernelSession

D = 86_400_000_000_000


def session(**kw):
    return KernelSession("X", instrument_config=InstrumentConfig(lot_size=1.0), **kw)


def step(s, i, o, h=None, l=None, c=None):
    h = o if h is None else h
    l = o if l is None else l
    c = o if c is None else c
    return [(e.kind, e.idx, e.order_id, e.client_order_id, e.price, e.size, e.reject_reason)
            for e in s.step(i, i * D, o, h, l, c, 1000.0)]


def test_method_registration_order_and_docstrings():
    assert [m for m in vars(KernelSession) if not m.startswith("_")] == [
        "step", "submit_order", "link_oco", "cancel_order", "cancel_all_orders", "set_underlying_price",
        "submit_twap", "cancel_twap", "modify_order", "open_order_ids", "set_stop_price", "set_target_price",
        "request_close", "positions", "free_capital", "equity", "cash", "is_in_position", "position", "finish"]
    assert KernelSession.cancel_order.__doc__ == "Cancel a working order; `false` for unknown/finished ids."
    assert KernelSession.modify_order.__text_signature__ == (
        "($self, order_id, units=None, size_frac=None, limit_price=None, trigger_price=None)")


def test_limit_order_is_accepted_at_the_head_of_the_next_step_with_its_submitted_idx():
    s = session()
    oid = s.submit_order("buy", "limit", 0, 0, "c1", units=10.0, limit_price=95.0)
    assert oid == 0 and s.open_order_ids() == [0]
    assert step(s, 5, 100, 100, 99, 100) == [("order_accepted", 0, 0, "c1", None, None, None)]
    events = step(s, 6, 96, 97, 94, 95)
    assert events[0][:6] == ("order_filled", 6, 0, "c1", 95.0, 10.0)
    assert events[1][0] == "entered" and events[1][2:4] == (None, None)
    assert s.open_order_ids() == []
    (order,) = s.finish().orders()
    assert (order.status, order.filled_qty, order.avg_fill_price) == ("filled", 10.0, 95.0)


def test_cancels():
    s = session()
    assert s.cancel_order(0, 42) is False
    assert s.cancel_all_orders(0) == []
    a = s.submit_order("buy", "limit", 0, 0, "a", units=1.0, limit_price=50.0)
    b = s.submit_order("buy", "limit", 0, 0, "b", units=1.0, limit_price=51.0)
    assert s.cancel_order(1, a) is True and s.cancel_order(1, a) is False
    assert s.cancel_all_orders(2) == [b]
    kinds = [(k, i, oid) for k, i, oid, *_ in step(s, 3, 100)]
    assert kinds == [("order_accepted", 0, a), ("order_accepted", 0, b), ("order_canceled", 1, a),
                     ("order_canceled", 2, b)]


def test_modify_order_rules():
    s = session()
    m = s.submit_order("buy", "market", 0, 0, "m", units=1.0)
    lim = s.submit_order("buy", "limit", 0, 0, "l", units=1.0, limit_price=50.0)
    assert s.modify_order(m, limit_price=1.0) is False
    assert s.modify_order(lim, units=3.0) is True
    assert s.modify_order(lim, limit_price=101.0, trigger_price=99.0) is False
    assert s.modify_order(999, units=1.0) is False
    step(s, 1, 200, 200, 200, 200)
    orders = {o.client_id: o for o in s.finish().orders()}
    assert orders["l"].requested_qty == 3.0 and orders["l"].limit_price == 101.0
    with pytest.raises(ValueError, match="^pass units or size_frac, not both$"):
        s.modify_order(lim, units=1.0, size_frac=0.5)  # judged even on a finished session


def test_link_oco_groups_under_the_smallest_id():
    s = session()
    ids = [s.submit_order("buy", "limit", 0, 0, f"o{i}", units=1.0, limit_price=10.0 + i) for i in range(13)]
    s.link_oco([ids[12], ids[7], ids[9]])
    s.link_oco([])
    groups = {o.id: o.oco_group for o in s.finish().orders()}
    assert (groups[7], groups[9], groups[12]) == (7, 7, 7)
    assert groups[8] is None


@pytest.mark.parametrize(
    "args, message",
    [
        # One refusal per argument, so each reaches its place; the rules are the engine tests'.
        ((10.0, "BUY", 3, 1), "side must be 'buy' or 'sell', got BUY"),
        ((10.0, "buy", 0, 0), "slices must be >= 1"),
        ((-1.0, "buy", 1, 1), "total units must be finite and > 0"),
    ],
)
def test_twap_refusals(args, message):
    s = session()
    with pytest.raises(ValueError) as e:
        s.submit_twap(*args, 0, 0, "t")
    assert str(e.value) == message


def test_twap_slices_and_completion():
    s = KernelSession("X")  # no lot size: slices keep their fractions
    aid = s.submit_twap(10.0, "buy", 3, D, 0, D, "t1")
    assert aid == 0
    fills, completed = [], []
    for i in range(1, 5):
        for kind, idx, oid, cid, price, size, _ in step(s, i, 100):
            if kind == "order_filled":
                fills.append((cid, size))
            if kind == "algo_completed":
                completed.append((idx, oid, cid))
    # The last slice takes what remains of the total.
    assert fills == [("t1#0", 3.3333333333333335), ("t1#1", 3.3333333333333335), ("t1#2", 3.333333333333333)]
    assert completed == [(3, aid, "")]
    (pos,) = s.positions()  # under netting every slice adds to the one position
    assert pos.size == pytest.approx(10.0)
    assert s.cancel_twap(aid, 9) is False


def test_cancel_twap_twice():
    s = session()
    aid = s.submit_twap(4.0, "sell", 4, D, 0, 0, "t")
    assert s.cancel_twap(aid, 1) is True
    assert s.cancel_twap(aid, 1) is False
    kinds = [k for k, *_ in step(s, 2, 100)]
    assert kinds == ["algo_started", "algo_completed"]


def test_finished_session_checks_come_after_argument_parsing():
    s = session()
    s.finish()
    with pytest.raises(TypeError):
        s.submit_order("buy", "market", 0, 0, "x", post_only=1)
    for call in (lambda: s.submit_order("buy", "market", 0, 0, "x", units=1.0), lambda: s.cancel_order(0, 0),
                 lambda: s.cancel_all_orders(0), lambda: s.link_oco([1]), lambda: s.open_order_ids(),
                 lambda: s.submit_twap(1.0, "buy", 1, 1, 0, 0, "t"), lambda: s.cancel_twap(0, 0),
                 lambda: s.modify_order(0)):
        with pytest.raises(ValueError, match="^session is finished; create a new one$"):
            call()


def test_submit_order_refusals_are_value_errors():
    # The request rules are the order tests'; a refusal reaches Python as ValueError.
    with pytest.raises(ValueError, match=r"^size_frac must be in \(0, 1\]$"):
        session().submit_order("buy", "market", 0, 0, "x", size_frac=1.5)


def test_rejected_order_event_carries_reason_and_client_id():
    s = session()
    s.submit_order("sell", "market", 0, 0, "r1", reduce_only=True, units=1.0)
    events = step(s, 1, 100)
    rejected = [e for e in events if e[0] == "order_rejected"]
    assert rejected and rejected[0][3] == "r1" and rejected[0][2] is not None
    assert rejected[0][6] is not None and rejected[0][4] is None
