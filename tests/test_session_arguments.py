"""The parameters both sessions share (a bar's values, the intents for it, an order's
submission and its new amounts) reach the engine value each one names, whether given by
position or by keyword. Every value below is distinct, so two parameters trading places
shows."""
import pytest

from tarnwick import InstrumentConfig, KernelSession, PortfolioSession

D = 86_400_000_000_000


def kernel():
    return KernelSession("X", instrument_config=InstrumentConfig(lot_size=1.0))


def portfolio():
    s = PortfolioSession()
    s.add_instrument("X", instrument_config=InstrumentConfig(lot_size=1.0))
    return s


def order_fields(order):
    return (order.side, order.kind, order.submitted_idx, order.submitted_ts, order.client_id, order.requested_qty,
            order.limit_price, order.trigger_price, order.tif, order.parent_id)


def kernel_submission_by_position():
    s = kernel()
    parent = s.submit_order("buy", "limit", 0, 0, "p", 1.0, None, 50.0)
    s.submit_order("sell", "stop_limit", 3, 7, "c", 2.0, None, 95.0, 96.0, "gtd", 10 * D, None, None, None, "price",
                   0.0, False, False, parent)
    return order_fields(s.finish().orders()[1])


def kernel_change_by_position():
    s = kernel()
    oid = s.submit_order("buy", "stop_limit", 0, 0, "c", units=1.0, limit_price=50.0, trigger_price=49.0)
    s.modify_order(oid, 4.0, None, 45.0, 44.0)
    order = s.finish().orders()[0]
    return order.requested_qty, order.limit_price, order.trigger_price


def portfolio_submission_by_position():
    s = portfolio()
    s.submit_order(0, "sell", "limit", 3, 7, "c", 2.0, None, 150.0, None, "gtc", None, None, None, None, "price", 0.0,
                   False, False, None)
    return s.working_orders(0)[0]


def portfolio_change_by_position():
    s = portfolio()
    oid = s.submit_order(0, "buy", "limit", 0, 0, "c", units=1.0, limit_price=50.0)
    s.modify_order(0, oid, 4.0, None, 45.0, None)
    return s.working_orders(0)[0]


def levels(position):
    return position.size, position.stop_price, position.target_price


def kernel_intents():
    s = kernel()
    s.step(0, 0, 100.0, 100.0, 100.0, 100.0, 1000.0, True, False, 0.0, 0.5, 90.0, 130.0)
    return levels(s.position())


def portfolio_intents():
    s = portfolio()
    s.push_bar(0, 0, 100.0, 100.0, 100.0, 100.0, 1000.0)
    s.apply_current(True, False, 0.0, 0.5, 90.0, 130.0)
    return levels(s.positions(0)[0])


def kernel_order_levels():
    s = kernel()
    s.submit_order("buy", "market", 0, 0, "m", units=2.0, stop_price=90.0, target_price=130.0)
    s.step(1, D, 100.0, 100.0, 100.0, 100.0, 1000.0)
    return levels(s.position())


def portfolio_order_levels():
    s = portfolio()
    s.submit_order(0, "buy", "market", 0, 0, "m", units=2.0, stop_price=90.0, target_price=130.0)
    s.push_bar(0, D, 100.0, 100.0, 100.0, 100.0, 1000.0)
    s.apply_current()
    return levels(s.positions(0)[0])


def portfolio_bar_values():
    s = portfolio()
    s.push_bar(0, 7, 1.0, 2.0, 0.5, 1.5, 10.0)
    return s.current()


CASES = [
    ("kernel_submission_by_position", kernel_submission_by_position,
     ("sell", "stop_limit", 3, 7, "c", 2.0, 95.0, 96.0, "gtd", 0)),
    ("kernel_change_by_position", kernel_change_by_position, (4.0, 45.0, 44.0)),
    # (order_id, client_id, side, kind, status, filled_qty, units)
    ("portfolio_submission_by_position", portfolio_submission_by_position,
     (0, "c", "sell", "limit", "accepted", 0.0, 2.0)),
    ("portfolio_change_by_position", portfolio_change_by_position, (0, "c", "buy", "limit", "accepted", 0.0, 4.0)),
    # Half of the 100000 cash, at a close of 100 and the default fee of 0.1%, buys
    # floor(50000 / 100.1) = 499 whole units.
    ("kernel_intents", kernel_intents, (499.0, 90.0, 130.0)),
    ("portfolio_intents", portfolio_intents, (499.0, 90.0, 130.0)),
    ("kernel_order_levels", kernel_order_levels, (2.0, 90.0, 130.0)),
    ("portfolio_order_levels", portfolio_order_levels, (2.0, 90.0, 130.0)),
    # (instrument, local_idx, ts, open, high, low, close, volume)
    ("portfolio_bar_values", portfolio_bar_values, (0, 0, 7, 1.0, 2.0, 0.5, 1.5, 10.0)),
]


@pytest.mark.parametrize("scenario, expected", [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_each_argument_reaches_the_value_it_names(scenario, expected):
    assert scenario() == expected
