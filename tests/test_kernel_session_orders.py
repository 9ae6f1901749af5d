# Orders at the Python face: argument mapping, return values, event and order records and
# refusal types. The order rules themselves are asserted in the C++ order tests.
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


def test_limit_order_event_and_report_records():
    s = session()
    oid = s.submit_order("buy", "limit", 0, 0, "c1", units=10.0, limit_price=95.0)
    assert oid == 0 and s.open_order_ids() == [0]
    assert step(s, 5, 100, 100, 99, 100) == [("order_accepted", 0, 0, "c1", None, None, None)]
    events = step(s, 6, 96, 97, 94, 95)
    assert events[0][:6] == ("order_filled", 6, 0, "c1", 95.0, 10.0)
    assert events[1][0] == "entered" and events[1][2:4] == (None, None)
    (order,) = s.finish().orders()
    assert (order.status, order.filled_qty, order.avg_fill_price) == ("filled", 10.0, 95.0)


def test_cancel_modify_and_link_return_values_and_keywords():
    s = session()
    assert s.cancel_order(0, 42) is False and s.cancel_all_orders(0) == []
    a, b, c = (s.submit_order("buy", "limit", 0, 0, n, units=1.0, limit_price=50.0) for n in "abc")
    assert s.cancel_order(1, a) is True
    assert s.modify_order(b, units=3.0, limit_price=101.0) is True
    assert s.modify_order(b, limit_price=101.0, trigger_price=99.0) is False  # a limit has no trigger
    s.link_oco([c, b])
    s.link_oco([])
    assert s.cancel_all_orders(2) == [b, c]
    orders = {o.client_id: o for o in s.finish().orders()}
    assert (orders["b"].requested_qty, orders["b"].limit_price, orders["b"].oco_group) == (3.0, 101.0, b)
    assert orders["a"].oco_group is None
    with pytest.raises(ValueError, match="^pass units or size_frac, not both$"):
        s.modify_order(b, units=1.0, size_frac=0.5)  # judged even on a finished session


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
    with pytest.raises(ValueError) as e:
        session().submit_twap(*args, 0, 0, "t")
    assert str(e.value) == message


def test_twap_slice_and_completion_records():
    s = KernelSession("X")  # no lot size: slices keep their fractions
    aid = s.submit_twap(10.0, "buy", 2, D, 0, D, "t1")
    events = [e for i in range(1, 4) for e in step(s, i, 100)]
    assert [(e[3], e[5]) for e in events if e[0] == "order_filled"] == [("t1#0", 5.0), ("t1#1", 5.0)]
    assert [e[1:4] for e in events if e[0] == "algo_completed"] == [(2, aid, "")]
    assert s.cancel_twap(aid, 9) is False
    aid = s.submit_twap(4.0, "sell", 4, D, 3, 3 * D, "t")
    assert s.cancel_twap(aid, 3) is True and s.cancel_twap(aid, 3) is False


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
    (rejected,) = [e for e in step(s, 1, 100) if e[0] == "order_rejected"]
    assert rejected[2:5] == (0, "r1", None) and rejected[6] == "reduce_only"
