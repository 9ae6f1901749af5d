# The Python face of KernelSession: records, conversions, refusals and memory. The engine's
# scenarios and their hand-computed values are asserted once, in the C++ kernel tests.
import gc
import os
import tracemalloc

import pytest

from tarnwick import (BacktestConfig, EngineEvent, InstrumentConfig, InstrumentSpec, KernelSession,
                      PositionSnapshot)

D = 86_400_000_000_000


def session(config=None, **kw):
    kw.setdefault("instrument_config", InstrumentConfig(lot_size=1.0))
    return KernelSession("X", config=config, **kw)


def bar(s, i, o, h=None, l=None, c=None, **kw):
    h = o if h is None else h
    l = o if l is None else l
    c = o if c is None else c
    return s.step(i, i * D, o, h, l, c, 1000.0, **kw)


def test_event_and_trade_records():
    s = session()
    ev = s.step(0, 0, 100, 100, 100, 100, 1000.0, entry=True)
    assert len(ev) == 1 and isinstance(ev[0], EngineEvent)
    assert repr(ev[0]) == "EngineEvent(kind=entered, idx=0)"
    assert (ev[0].price, ev[0].size, ev[0].direction) == (100.0, 999.0, 1)
    ev = s.step(1, D, 110, 110, 110, 110, 1000.0, exit=True)
    assert [e.kind for e in ev] == ["exited"]
    trade = ev[0].trade
    assert trade.exit_price == ev[0].price == 110.0 and ev[0].trade is not trade
    assert [t.exit_price for t in s.finish().trades()] == [110.0]


def test_finished_session_refuses_every_call():
    s = KernelSession()
    assert s.finish().trades() == []
    with pytest.raises(ValueError, match="^session is already finished$"):
        s.finish()
    for call in (s.cash, s.equity, s.free_capital, s.positions, s.position, s.is_in_position,
                 lambda: s.step(0, 0, 1.0, 1.0, 1.0, 1.0, 1.0), lambda: s.request_close(0),
                 lambda: s.set_stop_price(1.0), lambda: s.set_underlying_price(1.0)):
        with pytest.raises(ValueError, match="^session is finished; create a new one$"):
            call()
    with pytest.raises(TypeError, match="^argument 'entry': "):
        s.step(0, 0, 1.0, 1.0, 1.0, 1.0, 1.0, entry=1)


def test_fresh_session_reads_and_its_config_is_a_copy():
    s = KernelSession()
    assert s.equity() == 100000.0 and s.cash() == 100000.0 and s.free_capital() == 100000.0
    assert s.position() is None and s.positions() == [] and s.is_in_position() is False
    assert s.step(0, 0, 1.0, 1.0, 1.0, 1.0, 1.0) == []
    c = BacktestConfig(initial_capital=5000.0)
    s = KernelSession(config=c)
    c.initial_capital = 1.0
    assert s.equity() == 5000.0


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"direction": 0}, "direction must be 1 (long) or -1 (short), got 0"),
        ({"oms_type": "Netting"}, "oms_type must be 'netting' or 'hedging', got Netting"),
        ({"oms_type": " netting"}, "oms_type must be 'netting' or 'hedging', got  netting"),
        ({"account_type": "Cash"}, "account_type must be 'cash' or 'margin', got \"Cash\""),
        ({"account_type": "margin", "leverage": 0.0}, "leverage must be finite and above 0, got 0"),
        ({"account_type": "margin", "leverage": float("inf")}, "leverage must be finite and above 0, got inf"),
        ({"instrument": InstrumentSpec.index("I")}, "instrument I is not tradable (kind=Index)"),
    ],
)
def test_constructor_refusals(kwargs, message):
    with pytest.raises(ValueError) as e:
        KernelSession(**kwargs)
    assert str(e.value) == message


def test_constructor_argument_types():
    assert KernelSession.__text_signature__ == (
        '(symbol="ASSET", direction=1, config=None, instrument_config=None, instrument=None, '
        'oms_type="netting", account_type="cash", leverage=1.0)')
    with pytest.raises(TypeError, match="^argument 'direction': "):
        KernelSession(direction=1.0)
    with pytest.raises(OverflowError):
        KernelSession(direction=2**31)
    with pytest.raises(TypeError, match="^argument 'config': 'InstrumentConfig' object cannot be converted"):
        KernelSession(config=InstrumentConfig())
    for cls in (EngineEvent, PositionSnapshot):
        with pytest.raises(TypeError, match="No constructor defined"):
            cls()


def test_stop_rule_set_on_the_python_config_reaches_the_session():
    c = BacktestConfig()
    c.set_trailing_stop(0.05)
    s = session(c)
    bar(s, 0, 100, entry=True)
    assert bar(s, 1, 118, 120, 115, 118) == []
    assert s.position().stop_price == pytest.approx(114.0)  # 120 x 0.95
    ev = bar(s, 2, 115, 116, 113, 114)
    assert ev[0].trade.exit_reason == "StopLoss"


def test_margin_call_and_rejection_records():
    s = session(BacktestConfig(liquidate_on_margin_call=True), account_type="margin", leverage=4.0)
    bar(s, 0, 100, entry=True)
    ev = bar(s, 1, 85)
    assert [e.kind for e in ev] == ["margin_call", "exited"]
    # The call carries equity as its price and the requirement as its size, and no order.
    assert ev[0].price < ev[0].size and ev[0].order_id is None
    assert ev[1].trade.exit_reason == "Liquidation"
    ev = bar(s, 2, 85, entry=True)
    assert [(e.kind, e.reject_reason) for e in ev] == [("entry_rejected", "margin_call")]
    assert ev[0].price is None and ev[0].size is None and ev[0].direction is None


def test_underlying_price_reaches_option_settlement():
    opt = InstrumentSpec.option("C100", 100.0, "call", D, 1)
    s = KernelSession("C100", instrument=opt, instrument_config=InstrumentConfig(lot_size=1.0))
    bar(s, 0, 5.0, entry=True)
    s.set_underlying_price(104.0)
    (t,) = [e.trade for e in bar(s, 1, 5.0) if e.kind == "exited"]
    assert (t.exit_price, t.exit_reason) == (4.0, "Settlement")  # max(104 - 100, 0), not the close


def test_stop_and_target_moves_and_requested_close():
    s = session()
    bar(s, 0, 100, entry=True)
    pid = s.position().position_id
    s.set_stop_price(90.0)
    s.set_target_price(130.0, position_id=pid)
    assert (s.position().stop_price, s.position().target_price) == (90.0, 130.0)
    s.set_stop_price(None)
    assert s.position().stop_price is None
    with pytest.raises(ValueError, match="^unknown position id 42$"):
        s.set_stop_price(1.0, position_id=42)
    s.request_close(pid)
    assert [e.kind for e in bar(s, 1, 101)] == ["exited"]
    assert s.position() is None and s.set_stop_price(80.0) is None


def test_snapshot_repr_and_independence():
    s = session()
    bar(s, 0, 99.999, entry=True, size_mult=0.5)
    snap = s.position()
    assert repr(snap) == f"PositionSnapshot(entry_idx=0, entry_price=100.00, size={snap.size:.2f}, direction=1)"
    s.set_stop_price(50.0)
    assert snap.stop_price is None and s.position().stop_price == 50.0


def _churn(n):
    s = session()
    for i in range(n):
        s.step(i, i, 100.0, 101.0, 99.0, 100.0, 1.0, entry=(i % 10 == 0), exit=(i % 10 == 5))
    s.positions()
    s.finish().trades()


def test_steps_leave_memory_flat():
    _churn(2000)
    gc.collect()
    tracemalloc.start()
    before = tracemalloc.take_snapshot()
    for _ in range(5):
        _churn(2000)
    gc.collect()
    after = tracemalloc.take_snapshot()
    tracemalloc.stop()
    assert sum(d.size_diff for d in after.compare_to(before, "filename")) < 64 * 1024


def _rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="the address sanitizer keeps freed memory in quarantine")
def test_sessions_and_events_release_their_native_memory():
    # Native memory (kernels, buffers, event records) is invisible to tracemalloc; the
    # resident size must not keep growing across many sessions of trading steps.
    for _ in range(3):
        _churn(20_000)
    gc.collect()
    before = _rss_bytes()
    for _ in range(5):
        _churn(20_000)
    gc.collect()
    assert _rss_bytes() - before < 8 * 1024 * 1024
