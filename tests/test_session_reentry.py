"""A session method takes its session before converting its arguments: an argument whose
conversion calls back into the same session finds it borrowed and cannot change it under
the call."""
import contextlib

import numpy as np
import pytest

import tarnwick as tw

DAY = 86_400 * 10**9


class CallsBack:
    """A number whose conversion first runs `inner` (a call into the session)."""

    def __init__(self, value):
        self.value = value
        self.inner = None
        self.raised = None
        self.calls = 0

    def _call(self):
        self.calls += 1
        try:
            self.inner()
        except Exception as e:  # what the inner call met is the point of the test
            self.raised = e

    def __index__(self):
        self._call()
        return int(self.value)

    def __float__(self):
        self._call()
        return float(self.value)


def bars(n=3):
    ts = np.arange(n, dtype=np.int64) * DAY
    px = np.full(n, 100.0)
    return ts, px, px, px, px, px


KERNEL = {
    "step": lambda x: ((0, 0, 100.0, 101.0, 99.0, 100.0, 10.0), {"target_price": x(110.0)}),
    "submit_order": lambda x: (("buy", "market", 0, 0, "c"), {"units": x(1.0)}),
    "link_oco": lambda x: (([x(1), 2],), {}),
    "cancel_order": lambda x: ((0, x(1)), {}),
    "cancel_all_orders": lambda x: ((x(0),), {}),
    "set_underlying_price": lambda x: ((x(100.0),), {}),
    "submit_twap": lambda x: ((1.0, "buy", 2, 1, 0, x(0), "c"), {}),
    "cancel_twap": lambda x: ((1, x(0)), {}),
    "modify_order": lambda x: ((1,), {"limit_price": x(99.0)}),
    "set_stop_price": lambda x: ((x(95.0),), {}),
    "set_target_price": lambda x: ((x(105.0),), {}),
    "request_close": lambda x: ((x(1),), {}),
}

PORTFOLIO = {
    "add_instrument": lambda x: (("B",), {"direction": x(1)}),
    "set_bars": lambda x: ((x(0), *bars()), {}),
    "set_ticks": lambda x: ((x(0), bars()[0], np.full(3, 100.0)), {}),
    "set_depth": lambda x: ((x(0), bars()[0], *[np.full((3, 1), 100.0)] * 4), {}),
    "push_bar": lambda x: ((0, x(0), 100.0, 101.0, 99.0, 100.0, 10.0), {}),
    "push_tick": lambda x: ((0, 0, x(100.0)), {}),
    "push_depth": lambda x: ((0, 0, [(x(99.0), 1.0)], [(101.0, 1.0)]), {}),
    "apply_current": lambda x: ((), {"atr": x(1.0)}),
    "submit_order": lambda x: ((0, "buy", "market", 0, 0, "c"), {"units": x(1.0)}),
    "cancel_order": lambda x: ((0, 0, x(1)), {}),
    "modify_order": lambda x: ((0, x(1)), {"limit_price": 99.0}),
    "cancel_all_orders": lambda x: ((0, x(0)), {}),
    "link_oco": lambda x: ((0, [x(1), 2]), {}),
    "set_underlying_price": lambda x: ((0, x(100.0)), {}),
    "adopt_position": lambda x: ((0, 0, x(100.0), 1.0), {}),
    "request_close": lambda x: ((0, x(1)), {}),
    "positions": lambda x: ((x(0),), {}),
    "position": lambda x: ((x(0),), {}),
    "working_orders": lambda x: ((x(0),), {}),
}


def kernel_session():
    return tw.KernelSession()


def portfolio_session():
    s = tw.PortfolioSession()
    s.add_instrument("A")
    return s


CASES = [(kernel_session, name, build) for name, build in KERNEL.items()] + [
    (portfolio_session, name, build) for name, build in PORTFOLIO.items()]

# A call that would take the session for writing meets "Already borrowed"; the kernel
# session's reads take it shared and meet the writer instead.
INNER = {
    (kernel_session, "finish"): "Already borrowed",
    (kernel_session, "equity"): "Already mutably borrowed",
    (portfolio_session, "finish"): "Already borrowed",
    (portfolio_session, "equity"): "Already borrowed",
}


@pytest.mark.parametrize("inner", ["finish", "equity"])
@pytest.mark.parametrize("make, method, build", CASES, ids=[f"{m.__name__}.{n}" for m, n, _ in CASES])
def test_arguments_converted_under_the_session_cannot_reach_it(make, method, build, inner):
    session = make()
    made = []

    def x(value):
        made.append(CallsBack(value))
        made[-1].inner = getattr(session, inner)
        return made[-1]

    args, kwargs = build(x)
    # The outer call's own outcome is the engine's (an unknown order id may be refused);
    # what matters is what the inner call met and that the session is still whole.
    with contextlib.suppress(ValueError):
        getattr(session, method)(*args, **kwargs)
    assert made and all(m.calls >= 1 for m in made)
    for m in made:
        assert type(m.raised) is RuntimeError
        assert str(m.raised) == INNER[(make, inner)]
    assert isinstance(session.equity(), float)  # not finished by the inner call


def test_every_method_with_arguments_is_in_the_table():
    def with_arguments(cls):
        return {n for n in dir(cls)
                if not n.startswith("_") and getattr(cls, n).__text_signature__ not in (None, "($self)")}

    assert with_arguments(tw.KernelSession) == set(KERNEL)
    assert with_arguments(tw.PortfolioSession) == set(PORTFOLIO)
