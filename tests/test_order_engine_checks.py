"""The order engine's worked checks, seen from Python through both sessions. The rules
themselves are tabled in the C++ order tests; here each hand-worked scenario is run end to
end through the Python face (fees 0 throughout)."""
import pytest

from tarnwick import BacktestConfig, InstrumentConfig, InstrumentSpec, KernelSession, PortfolioSession

H = 3_600_000_000_000


def kernel_session(**cfg):
    cfg.setdefault("fees", 0.0)
    return KernelSession("X", config=BacktestConfig(**cfg), instrument_config=InstrumentConfig(lot_size=1.0))


def bar(s, i, o, h, l, c, **kw):
    return s.step(i, i * H, o, h, l, c, 1000.0, **kw)


def fills(events):
    return [(e.price, e.size) for e in events if e.kind == "order_filled"]


@pytest.mark.parametrize("limit, next_bar, price", [
    (105.0, (100.0, 101.0, 99.0, 100.0), 100.0),  # opened through: at the open, never at 105
    (99.0, (95.0, 96.0, 94.0, 95.0), 95.0),
    (99.0, (100.0, 100.5, 98.0, 99.0), 99.0),
])
def test_buy_limit_fills_at_a_price_the_bar_traded(limit, next_bar, price):
    s = kernel_session()
    bar(s, 0, 103.0, 103.0, 103.0, 103.0)
    s.submit_order("buy", "limit", 0, 0, "l", units=10.0, limit_price=limit)
    assert fills(bar(s, 1, *next_bar)) == [(price, 10.0)]


@pytest.mark.parametrize("cfg", [{"slippage": 0.01}, {"limit_slippage": 0.01}])
def test_slippage_never_takes_a_buy_limit_past_99(cfg):
    s = kernel_session(**cfg)
    s.submit_order("buy", "limit", 0, 0, "l", units=10.0, limit_price=99.0)
    ((price, _),) = fills(bar(s, 1, 100.0, 100.5, 98.0, 99.0))
    assert price == 99.0


@pytest.mark.parametrize("rule, entry, next_bar, exit_price", [
    ("target", 100.0, (115.0, 116.0, 114.0, 115.0), 115.0),  # 10% target opened through
    ("target", 100.0, (105.0, 110.0, 104.0, 108.0), 110.0),  # a high of exactly 110 touches it
    ("stop", 120.0, (118.0, 119.0, 116.4, 117.0), 116.4),  # a low of exactly 116.4 touches a 3% stop
])
def test_position_levels_exit_at_what_the_bar_traded(rule, entry, next_bar, exit_price):
    cfg = BacktestConfig(fees=0.0)
    if rule == "target":
        cfg.set_fixed_target(0.10)
    else:
        cfg.set_fixed_stop(0.03)
    s = KernelSession("X", config=cfg)
    bar(s, 0, entry, entry, entry, entry, entry=True)
    (t,) = [e.trade for e in bar(s, 1, *next_bar) if e.kind == "exited"]
    assert t.exit_price == exit_price


def test_trailing_stop_trails_what_was_known_before_the_bar():
    s = kernel_session()
    bar(s, 0, 100.0, 100.0, 100.0, 100.0, entry=True)  # long 1000 at 100
    s.submit_order("sell", "trailing_stop_market", 0, 0, "t", offset=2.0)
    assert fills(bar(s, 1, 100.0, 103.0, 99.5, 103.0)) == []  # the stop is 98
    assert fills(bar(s, 2, 102.0, 102.5, 100.5, 101.0)) == [(101.0, 1000.0)]  # trailed to 103 - 2


@pytest.mark.parametrize("next_bar, price", [
    ((101.0, 107.0, 100.0, 106.0), 105.0),
    ((107.0, 108.0, 105.5, 106.0), 106.0),
])
def test_stop_limit_fills_on_the_bar_that_triggers_it(next_bar, price):
    s = kernel_session()
    s.submit_order("buy", "stop_limit", 0, 0, "sl", units=10.0, trigger_price=105.0, limit_price=106.0)
    events = bar(s, 1, *next_bar)
    assert [e.kind for e in events][:3] == ["order_accepted", "order_triggered", "order_filled"]
    assert fills(events) == [(price, 10.0)]


def test_fill_probability_slippage_moves_a_market_order_one_tick():
    s = KernelSession("X", config=BacktestConfig(fees=0.0, fill_prob_slippage=1.0),
                      instrument=InstrumentSpec.equity("X", price_increment=0.05))
    s.submit_order("buy", "market", 0, 0, "m", units=1.0)
    ((price, _),) = fills(bar(s, 0, 101.0, 101.0, 101.0, 101.0))
    assert price == pytest.approx(101.05, abs=1e-12)


def test_reduce_only_buy_against_a_long_is_refused():
    s = kernel_session()
    bar(s, 0, 100.0, 100.0, 100.0, 100.0, entry=True)
    s.submit_order("buy", "market", 1, H, "r", units=5.0, reduce_only=True)
    (e,) = [e for e in bar(s, 1, 100.0, 100.0, 100.0, 100.0) if e.kind.startswith("order_")
            and e.kind != "order_accepted"]
    assert (e.kind, e.reject_reason) == ("order_rejected", "reduce_only")
    assert s.position().size == 1000.0


def test_post_only_is_checked_on_the_first_event_whatever_its_index():
    s = kernel_session()
    s.submit_order("buy", "limit", 0, 0, "p", units=1.0, limit_price=100.0, post_only=True)
    events = bar(s, 4, 99.5, 100.2, 99.0, 99.8)
    assert [(e.kind, e.reject_reason) for e in events if e.kind == "order_rejected"] == [("order_rejected",
                                                                                          "post_only")]


def test_no_order_trades_before_activation():
    spec = InstrumentSpec.futures_contract("F", 100 * H, 1.0, activation_ns=10 * H)
    s = KernelSession("F", config=BacktestConfig(fees=0.0), instrument=spec)
    s.submit_order("buy", "market", 0, 0, "m", units=1.0)
    events = bar(s, 0, 100.0, 100.0, 100.0, 100.0)
    assert [e.reject_reason for e in events if e.kind == "order_rejected"] == ["inactive"]
    assert not s.is_in_position()


def test_twap_slices_come_in_whole_lots():
    s = kernel_session()
    s.submit_twap(10.0, "buy", 3, 1, 0, 0, "tw")
    sizes = []
    for i in range(4):
        sizes += [size for _, size in fills(s.step(i, i, 100.0, 100.0, 100.0, 100.0, 1000.0))]
    assert sizes == [3.0, 3.0, 4.0]
    assert s.position().size == 10.0
    orders = s.finish().orders()
    assert [(o.requested_qty, o.status) for o in orders] == [(3.0, "filled"), (3.0, "filled"), (4.0, "filled")]


# ---- both sessions alike ----------------------------------------------------------------

def portfolio_session(**kw):
    s = PortfolioSession(BacktestConfig(fees=0.0), **kw)
    s.add_instrument("X")
    return s


@pytest.mark.parametrize("kind, extra", [
    ("market", {}), ("market_to_limit", {}), ("trailing_stop_market", {"offset": 1.0}),
    ("trailing_stop_limit", {"offset": 1.0}),
])
def test_modify_refuses_kinds_without_a_price_of_their_own(kind, extra):
    k = kernel_session()
    oid = k.submit_order("buy", kind, 0, 0, "m", units=1.0, **extra)
    assert k.modify_order(oid, units=2.0) is False
    p = portfolio_session()
    pid = p.submit_order(0, "buy", kind, 0, 0, "m", units=1.0, **extra)
    assert p.modify_order(0, pid, units=2.0) is False
    if kind == "market":
        assert fills(bar(k, 0, 100.0, 100.0, 100.0, 100.0)) == [(100.0, 1.0)]
        p.push_bar(0, 0, 100.0, 100.0, 100.0, 100.0, 1.0)
        assert fills(p.apply_current()) == [(100.0, 1.0)]


@pytest.mark.parametrize("leverage", [0.0, -2.0, 5.0, float("inf"), float("nan")])
def test_a_cash_account_ignores_its_leverage_in_both_sessions(leverage):
    KernelSession("X", account_type="cash", leverage=leverage)
    PortfolioSession(account_type="cash", leverage=leverage)


MARGIN_SESSIONS = {
    "kernel": lambda leverage: KernelSession("X", account_type="margin", leverage=leverage),
    "portfolio": lambda leverage: PortfolioSession(account_type="margin", leverage=leverage),
}


# An infinite leverage is a margin rate of 0: entries would be sized from the fees alone
# and no fall could ever call for margin.
@pytest.mark.parametrize("leverage, shown", [(0.0, "0"), (-2.0, "-2"), (float("inf"), "inf"),
                                             (float("-inf"), "-inf"), (float("nan"), "NaN")])
@pytest.mark.parametrize("session", MARGIN_SESSIONS)
def test_a_margin_account_refuses_leverage_that_is_not_finite_and_above_0(session, leverage, shown):
    with pytest.raises(ValueError) as e:
        MARGIN_SESSIONS[session](leverage)
    assert str(e.value) == f"leverage must be finite and above 0, got {shown}"


# ---- adopted positions --------------------------------------------------------------------

def test_adopted_position_is_valued_right_after_adoption():
    s = PortfolioSession(BacktestConfig(fees=0.0))
    s.add_instrument("A")
    s.adopt_position(0, 0, 100.0, 10.0)
    assert (s.cash(), s.equity()) == (99_000.0, 100_000.0)


def test_adopting_half_the_account_does_not_halt_the_session():
    s = PortfolioSession(BacktestConfig(fees=0.0, max_drawdown_pct=5.0))
    s.add_instrument("A")
    s.add_instrument("B")
    s.push_bar(1, 1, 50.0, 50.0, 50.0, 50.0, 1.0)
    s.adopt_position(0, 0, 100.0, 500.0)
    s.apply_current()
    assert s.is_halted() is False
    assert s.finish().halted is False


def test_finish_closes_an_adopted_position_that_never_traded_at_its_price():
    s = PortfolioSession(BacktestConfig(fees=0.0))
    s.add_instrument("A")
    s.add_instrument("B")
    s.push_bar(1, 1, 50.0, 50.0, 50.0, 50.0, 1.0)
    s.adopt_position(0, 0, 100.0, 10.0)
    s.apply_current()
    r = s.finish()
    assert list(r.result.equity_curve()) == [100_000.0]
    (t,) = r.result.trades()
    assert (t.symbol, t.exit_price, t.size, t.exit_reason) == ("A", 100.0, 10.0, "EndOfData")
