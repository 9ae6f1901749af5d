import numpy as np
import pytest

import tarnwick as tw

SEC = 10**9


def ticks(ltp, bid=None, ask=None, entries=None, exits=None, step=SEC):
    ltp = np.asarray(ltp, dtype=np.float64)
    n = len(ltp)
    bid = ltp - 0.5 if bid is None else np.asarray(bid, dtype=np.float64)
    ask = ltp + 0.5 if ask is None else np.asarray(ask, dtype=np.float64)
    entries = np.zeros(n, dtype=bool) if entries is None else np.asarray(entries, dtype=bool)
    exits = np.zeros(n, dtype=bool) if exits is None else np.asarray(exits, dtype=bool)
    ts = np.arange(n, dtype=np.int64) * step
    return [ts, ltp, bid, ask, np.zeros(n), np.zeros(n), np.zeros(n), entries, exits]


def on(n, *idx):
    out = np.zeros(n, dtype=bool)
    out[list(idx)] = True
    return out


def summary(r):
    return [(t.entry_idx, t.exit_idx, t.entry_price, t.exit_price, t.exit_reason) for t in r.trades()]


def test_defaults_and_a_signal_round_trip():
    a = ticks([100.0, 101.0, 102.0, 103.0], entries=on(4, 0), exits=on(4, 2))
    r = tw.run_tick_backtest(*a)
    (t,) = r.trades()
    # Entry at the ask 100.5, exit at the bid 101.5, one unit, 0.1% flat fees on each fill.
    assert (t.id, t.symbol, t.size, t.direction) == (0, "TICK", 1.0, 1)
    assert summary(r) == [(0, 2, 100.5, 101.5, "Signal")]
    assert (t.entry_fees, t.exit_fees, t.pnl, t.return_pct) == pytest.approx(
        (0.1005, 0.1015, 0.798, 0.798 / 100.5 * 100))
    assert (t.entry_time, t.exit_time) == (0, 2 * SEC)
    assert (t.fee_breakdown, t.mae_price, t.mfe_price, t.mae_pnl, t.mfe_pnl) == (None,) * 5
    assert r.equity_curve().tolist() == pytest.approx([100000.0, 100000.0 + t.pnl])
    assert r.returns().tolist() == pytest.approx([t.pnl / 100000.0])
    assert r.drawdown_curve().tolist() == [0.0, 0.0]


def test_levels_include_entry_slippage():
    # ask 100 with 1% slippage: entry 101, stop 101*0.95 = 95.95, target 101*1.1 = 111.1.
    ltp = [99.0, 100.0, 96.0, 95.9, 100.0]
    a = ticks(ltp, ask=[100.0] * 5, entries=on(5, 0), exits=on(5, 3))
    r = tw.run_tick_backtest(*a, slippage=0.01, fees=0.0)
    (t,) = r.trades()
    assert t.entry_price == pytest.approx(101.0)
    # ltp at the stop level exits there, less slippage, even with an exit signal on that tick.
    assert (t.exit_idx, t.exit_reason) == (3, "StopLoss")
    assert t.exit_price == pytest.approx(95.95 * 0.99)
    up = tw.run_tick_backtest(*ticks([99.0, 105.0, 111.2, 120.0], ask=[100.0] * 4, entries=on(4, 0)),
                              slippage=0.01, fees=0.0)
    (_, exit_idx, _, exit_price, reason), = summary(up)
    assert (exit_idx, exit_price, reason) == (2, pytest.approx(111.1 * 0.99), "TakeProfit")


def test_quotes_fall_back_to_the_last_price():
    a = ticks([10.0, 10.0, 10.5, 10.5], bid=[0.0, 0.0, -1.0, 0.0], ask=[0.0, 5.0, 5.0, 5.0], entries=on(4, 0),
              exits=on(4, 2))
    assert summary(tw.run_tick_backtest(*a, fees=0.0))[0] == (0, 2, 10.0, 10.5, "Signal")
    # No ask and no last price: the tick is passed over despite its entry signal.
    b = ticks([0.0, 10.0, 10.5, 10.5], ask=[0.0, 0.0, 0.0, 0.0], entries=[True, True, False, False])
    assert summary(tw.run_tick_backtest(*b, fees=0.0))[0][:3] == (1, 3, 10.0)


def test_time_exit_and_its_switch():
    # Ticks 10 minutes apart: 1800 seconds are reached at tick 3.
    a = ticks([100.0] * 6, entries=on(6, 0), exits=on(6, 3), step=600 * SEC)
    assert summary(tw.run_tick_backtest(*a, fees=0.0))[0][1:] == (3, 100.5, 99.5, "TimeExit")
    assert summary(tw.run_tick_backtest(*a, fees=0.0, max_hold_seconds=0))[0][1:] == (3, 100.5, 99.5, "Signal")
    quiet = ticks([100.0] * 6, entries=on(6, 0), step=600 * SEC)
    assert summary(tw.run_tick_backtest(*quiet, max_hold_seconds=0))[0][1:] == (5, 100.5, 99.5, "EndOfData")
    # A limit too large for nanoseconds never fires rather than wrapping around.
    assert summary(tw.run_tick_backtest(*quiet, max_hold_seconds=2**64 - 1))[0][4] == "EndOfData"


@pytest.mark.parametrize("cooldown, entries", [(10, [0, 11, 23]), (0, [0, 2, 4, 6, 8])])
def test_cooldown_after_each_exit(cooldown, entries):
    # Exits on odd ticks: after an exit at j the next entry waits for j + cooldown.
    n = 30
    ex = np.zeros(n, dtype=bool)
    ex[1::2] = True
    a = ticks([100.0] * n, entries=np.ones(n, dtype=bool), exits=ex)
    got = [t.entry_idx for t in tw.run_tick_backtest(*a, entry_cooldown_ticks=cooldown).trades()]
    assert got[: len(entries)] == entries


@pytest.mark.parametrize("max_trades, count", [(2, 2), (0, 0), (2**64 - 1, 10)])
def test_trade_cap(max_trades, count):
    n = 20
    a = ticks([100.0] * n, entries=np.ones(n, dtype=bool), exits=np.ones(n, dtype=bool))
    r = tw.run_tick_backtest(*a, entry_cooldown_ticks=0, max_trades=max_trades)
    assert [t.id for t in r.trades()] == list(range(count))
    assert len(r.equity_curve()) == count + 1 and len(r.returns()) == count and len(r.drawdown_curve()) == count + 1


@pytest.mark.parametrize("kw", [dict(quantity=0), dict(lot_size=0)])
def test_no_units_no_trades(kw):
    r = tw.run_tick_backtest(*ticks([100.0] * 5, entries=on(5, 0)), initial_capital=500.0, **kw)
    assert (r.trades(), r.equity_curve().tolist(), r.drawdown_curve().tolist(), r.returns().size) == ([], [500.0],
                                                                                                     [0.0], 0)
    m = r.metrics
    assert (m.start_value, m.end_value, m.omega_ratio, m.total_trades, m.sortino_ratio) == (500.0, 500.0, 0.0, 0, 0.0)


def test_negative_quantity_is_refused():
    with pytest.raises(ValueError, match="^tick backtests are long-only: quantity must be >= 0, got -1$"):
        tw.run_tick_backtest(*ticks([100.0] * 3), quantity=-1)


# Below 0 a level lies on the wrong side of the entry, and the exit would be booked at a
# price no tick traded at (a -5 % stop of the entry at 100.5 would sit at 105.525 while the
# highest trade is 100.2); NaN would quietly mean no level.
@pytest.mark.parametrize("field", ["stop_loss_pct", "take_profit_pct"])
@pytest.mark.parametrize("value, shown", [(-5.0, "-5"), (-0.25, "-0.25"), (float("nan"), "NaN"),
                                          (float("-inf"), "-inf")])
def test_negative_or_nan_levels_are_refused(field, value, shown):
    a = ticks([100.0, 100.1, 100.2, 100.0], entries=on(4, 0))
    with pytest.raises(ValueError) as e:
        tw.run_tick_backtest(*a, **{field: value})
    assert str(e.value) == f"{field} must be a number at or above 0, got {shown}"


INF = float("inf")


# Entered at the ask 100.5 with no fees: 0 puts a level on the entry fill, infinity puts
# none, so the other exits decide.
@pytest.mark.parametrize("stop, target, ltp, trip", [
    (INF, INF, [100.0, 50.0, 1000.0], (0, 2, 100.5, 999.5, "EndOfData")),
    (INF, 10.0, [100.0, 50.0, 120.0], (0, 2, 100.5, 100.5 * 1.1, "TakeProfit")),
    (5.0, INF, [100.0, 1000.0, 90.0], (0, 2, 100.5, 100.5 * 0.95, "StopLoss")),
    (0.0, 10.0, [100.0, 100.5, 90.0], (0, 1, 100.5, 100.5, "StopLoss")),
    (5.0, 0.0, [100.0, 101.0, 90.0], (0, 1, 100.5, 100.5, "TakeProfit")),
    (-0.0, INF, [100.0, 100.5], (0, 1, 100.5, 100.5, "StopLoss")),
], ids=["neither", "no_stop", "no_target", "zero_stop", "zero_target", "negative_zero_stop"])
def test_zero_and_infinite_levels_are_kept(stop, target, ltp, trip):
    r = tw.run_tick_backtest(*ticks(ltp, entries=on(len(ltp), 0)), fees=0.0, stop_loss_pct=stop,
                             take_profit_pct=target)
    assert summary(r) == [pytest.approx(trip)]


def test_units_and_segment_fees():
    a = ticks([200.0, 201.0, 202.0], entries=on(3, 0), exits=on(3, 2))
    r = tw.run_tick_backtest(*a, lot_size=25, quantity=2, fee_segment="NFO-OPT")
    (t,) = r.trades()
    assert t.size == 50.0
    # options_nfo lines on a buy of 50 at 200.5 (value 10025) and a sell at 201.5 (value 10075).
    buy, sell = 10025.0, 10075.0
    want = {"brokerage": 40.0, "stt": sell * 0.0015, "exchange_txn": (buy + sell) * 0.0003553,
            "sebi_fee": (buy + sell) * 1e-6, "stamp_duty": buy * 3e-5}
    want["gst"] = 0.18 * (want["brokerage"] + want["exchange_txn"] + want["sebi_fee"])
    assert t.fee_breakdown == pytest.approx({**want, "total": sum(want.values())})
    assert (t.fees, t.pnl) == pytest.approx((sum(want.values()), 50.0 - sum(want.values())))
    # An unknown segment text falls back to the flat fees.
    flat = tw.run_tick_backtest(*a, lot_size=25, quantity=2, fee_segment="LSE", fees=0.002).trades()[0]
    assert flat.fee_breakdown is None and flat.fees == pytest.approx((buy + sell) * 0.002)
    assert tw.run_tick_backtest(*a, fee_segment=None).trades()[0].fees == tw.run_tick_backtest(*a).trades()[0].fees


def test_entry_on_the_last_tick_closes_there():
    a = ticks([100.0, 100.0, 100.0], entries=on(3, 2))
    (t,) = tw.run_tick_backtest(*a).trades()
    # Entered at the ask, closed at once at the bid of the same tick, both fees charged.
    assert (t.entry_idx, t.exit_idx, t.exit_reason) == (2, 2, "EndOfData")
    assert t.pnl == pytest.approx(-1.0 - 0.1005 - 0.0995)


def test_order_flow_columns_do_not_matter_and_keywords_match_positions():
    a = ticks(100 + np.sin(np.arange(50) / 3.0), entries=on(50, 0, 20, 35), exits=on(50, 10, 30))
    base = tw.run_tick_backtest(*a, "X", 1e5, 0.001, 0.0, 1.0, 1.0, 1800, 2, 5, 3, 2, None)
    b = list(a)
    b[4], b[5], b[6] = np.full(50, 7.0), np.arange(50.0), np.full(50, np.nan)
    other = tw.run_tick_backtest(*b, symbol="X", stop_loss_pct=1.0, take_profit_pct=1.0, entry_cooldown_ticks=2,
                                 max_trades=5, lot_size=3, quantity=2)
    assert summary(other) == summary(base) and other.equity_curve().tolist() == base.equity_curve().tolist()
    assert all(t.symbol == "X" for t in base.trades())


@pytest.mark.parametrize("index, length, message", [
    (0, 6, "timestamps has 6 values, ltp has 5"),
    (2, 4, "bid has 4 values, ltp has 5"),
    (3, 3, "ask has 3 values, ltp has 5"),
    (4, 4, "buy_qty_delta has 4 values, ltp has 5"),
    (5, 0, "sell_qty_delta has 0 values, ltp has 5"),
    (6, 6, "oi has 6 values, ltp has 5"),
    (7, 4, "entries has 4 values, ltp has 5"),
    (8, 6, "exits has 6 values, ltp has 5"),
])
def test_length_mismatches_are_refused(index, length, message):
    a = ticks([100.0] * 5, entries=on(5, 0))
    a[index] = a[index][:length] if length <= 5 else np.zeros(length, dtype=a[index].dtype)
    with pytest.raises(ValueError) as e:
        tw.run_tick_backtest(*a)
    assert str(e.value) == message


def reference(ts, ltp, bid, ask, entries, exits, fees, stop_pct, target_pct, hold_s, cooldown):
    # The scan written out plainly: one long unit at a time, flat fees.
    trades, i, n, next_entry = [], 0, len(ltp), 0
    while i < n:
        price = ask[i] if ask[i] > 0 else ltp[i]
        if i < next_entry or not price > 0 or not entries[i]:
            i += 1
            continue
        fill, t0 = price, ts[i]
        stop, target = fill * (1 - stop_pct / 100), fill * (1 + target_pct / 100)
        for j in range(i + 1, n):
            timed = hold_s > 0 and ts[j] - t0 >= hold_s * 10**9
            if ltp[j] <= stop:
                out, why = stop, "StopLoss"
            elif ltp[j] >= target:
                out, why = target, "TakeProfit"
            elif exits[j] or timed:
                out, why = (bid[j] if bid[j] > 0 else ltp[j]), ("TimeExit" if timed else "Signal")
            else:
                continue
            break
        else:
            j = n - 1
            out, why = (bid[j] if bid[j] > 0 else ltp[j]), "EndOfData"
        trades.append((i, j, fill, out, why, out - fill - (fill + out) * fees))
        next_entry, i = j + cooldown, j + 1
    return trades


def test_tick_gates_drive_the_run_like_a_plain_scan():
    rng = np.random.default_rng(9)
    n = 3000
    ts = np.cumsum(rng.integers(1, 30, n)).astype(np.int64) * SEC
    ltp = 100.0 * np.cumprod(1 + rng.normal(0, 0.0015, n))
    spread = np.abs(rng.normal(0.02, 0.01, n))
    bid, ask = ltp - spread, ltp + spread
    bid[rng.random(n) < 0.05] = 0.0
    buy, sell = rng.uniform(0, 100, n), rng.uniform(0, 100, n)
    spread_pct = tw.tick_spread_pct(bid, ask)
    bsi = tw.buy_sell_imbalance_delta(np.cumsum(buy), np.cumsum(sell))
    ret = tw.return_window(ts, ltp, 60.0)
    entries = tw.compute_tick_entry_signals(spread_pct, bsi, ret, spread_pct_max=0.05, cooldown_ticks=5)
    exits = tw.compute_tick_exit_signals(ts, int(ts[n * 3 // 4]))
    assert entries.any() and exits.any()
    r = tw.run_tick_backtest(ts, ltp, bid, ask, buy, sell, np.zeros(n), entries, exits, stop_loss_pct=0.5,
                             take_profit_pct=0.4, max_hold_seconds=600, entry_cooldown_ticks=3)
    want = reference(ts, ltp, bid, ask, entries, exits, 0.001, 0.5, 0.4, 600, 3)
    got = [(t.entry_idx, t.exit_idx, t.entry_price, t.exit_price, t.exit_reason, t.pnl) for t in r.trades()]
    assert len(got) == len(want) > 10
    for g, w in zip(got, want):
        assert g[:5] == pytest.approx(w[:5]) and g[5] == pytest.approx(w[5])
    assert all(t.exit_idx < int(np.argmax(exits)) or t.exit_reason != "EndOfData" for t in r.trades())


def test_signature_and_doc():
    f = tw.run_tick_backtest
    assert f.__text_signature__ == (
        '(timestamps, ltp, bid, ask, buy_qty_delta, sell_qty_delta, oi, entries, exits, symbol="TICK", '
        'initial_capital=100000.0, fees=0.001, slippage=0.0, stop_loss_pct=5.0, take_profit_pct=10.0, '
        'max_hold_seconds=1800, entry_cooldown_ticks=10, max_trades=..., lot_size=1, quantity=1, fee_segment=None)')
    lines = f.__doc__.splitlines()
    assert lines[:8] == [
        "Run tick-level backtest on a single instrument.", "",
        "All arrays must be the same length N (one element per tick).",
        "`buy_qty_delta` and `sell_qty_delta` must already be per-tick deltas \u2014",
        "pass the difference from the previous tick, not the broker feed's cumulative totals.",
        "`entries` / `exits` are caller-computed boolean signal arrays.", "",
        "Returns a `BacktestResult` with the same fields as `run_single_backtest`."]
    # What the levels accept, after an empty line.
    assert lines[8] == "" and "`inf` sets no stop or no target" in " ".join(lines[9:])
