import math

import numpy as np
import pytest

from tarnwick import PortfolioSession

NaN = float("nan")


def i64(*v):
    return np.array(v, dtype=np.int64)


def f64(*v):
    return np.array(v, dtype=np.float64)


def session(n):
    s = PortfolioSession()
    for k in range(n):
        s.add_instrument(f"S{k}")
    return s


def attach_flat(s, inst, ts, prices):
    p = f64(*prices)
    s.set_bars(inst, i64(*ts), p, p, p, p, np.full(len(prices), 1.0))


def one_level(price):
    return np.full((1, 1), price), np.ones((1, 1)), np.zeros((1, 0)), np.zeros((1, 0))


def events(s):
    """Every pending entry in full, applying each."""
    out = []
    while s.remaining():
        out.append(s.current_event())
        s.apply_current()
    return out


def drain(s):
    """The schedule from the cursor on, as (kind, instrument, local_idx, ts)."""
    return [e[:4] for e in events(s)]


def depths(s):
    out = []
    while s.remaining():
        out.append((s.current_event()[1], s.current_depth()))
        s.apply_current()
    return out


# ---------------------------------------------------------------------------
# Merge order (the merge keys themselves are the feed's own tests; here the
# session's streams reach it under the right instrument and kind)


def test_bars_merge_by_time_then_registration():
    s = session(2)
    attach_flat(s, 0, [1, 2], [10.0, 11.0])
    attach_flat(s, 1, [1, 3], [20.0, 21.0])
    s.seal()
    assert len(s) == 4
    assert drain(s) == [("bar", 0, 0, 1), ("bar", 1, 0, 1), ("bar", 0, 1, 2), ("bar", 1, 1, 3)]


def test_kind_outranks_registration_and_registration_outranks_arrival():
    s = session(4)
    # Depth of instrument 2 and ticks of instruments 0 and 3, all at t = 7, plus
    # instrument 1's bars; instrument 0's quote comes after instrument 3's trade.
    s.set_depth(2, i64(7), *one_level(9.0))
    s.set_ticks(3, i64(7, 7), f64(30.0, 31.0))
    s.set_ticks(0, i64(7), f64(0.0), bid=f64(9.0), ask=f64(10.0))
    attach_flat(s, 1, [7, 6], [1.0, 2.0])
    s.seal()
    assert drain(s) == [
        ("trade", 3, 0, 7), ("trade", 3, 1, 7),  # one stream keeps its stored order
        ("quote", 0, 0, 7), ("book", 2, 0, 7),
        ("bar", 1, 0, 7), ("bar", 1, 1, 6),  # a later, earlier-stamped bar waits for its predecessor
    ]


def test_depth_snapshots_follow_instrument_order():
    s = session(3)
    for inst, price in ((2, 30.0), (0, 10.0)):
        s.set_depth(inst, i64(1), *one_level(price))
    s.seal()
    assert depths(s) == [(0, ([(10.0, 1.0)], [])), (2, ([(30.0, 1.0)], []))]


def test_seal_is_done_once():
    s = session(1)
    attach_flat(s, 0, [1, 2], [1.0, 2.0])
    attach_flat(s, 0, [3], [3.0])  # replaces the first stream whole
    s.seal()
    assert len(s) == 1
    attach_flat(s, 0, [4, 5], [4.0, 5.0])
    assert s.set_ticks(0, i64(6), f64(6.0)) is None
    s.seal()
    assert len(s) == 1 and drain(s) == [("bar", 0, 0, 3)]


def test_an_empty_session_seals_to_an_empty_schedule():
    s = session(2)
    assert (s.current(), s.current_event(), s.current_depth(), s.remaining()) == (None, None, None, 0)
    s.seal()
    assert len(s) == 0 and s.apply_current() == []


# ---------------------------------------------------------------------------
# Tick rows (sizes from the deltas are the feed's own tests; here attached and
# pushed rows must agree on what Python sees)


@pytest.mark.parametrize("row, expected", [
    (dict(ltp=0.0, ltq=5.0, bid=99.0, ask=0.0), []),
    (dict(ltp=100.0, ltq=4.0, buy_qty_delta=-5.0, sell_qty_delta=3.0, oi=12.0),
     [("trade", 100.0, 4.0, 12.0, 0.0, 0.0)]),
    (dict(ltp=0.0, bid=99.0, ask=101.0, bid_qty=0.0, ask_qty=7.0), [("quote", 99.0, 101.0, NaN, 7.0, 0.0)]),
    (dict(ltp=100.0, bid=99.5, ask=100.5), [("trade", 100.0, 0.0, 0.0, 0.0, 0.0),
                                            ("quote", 99.5, 100.5, NaN, NaN, 0.0)]),
])
def test_one_tick_row_attached_or_pushed(row, expected):
    attached = session(1)
    attached.set_ticks(0, i64(9), **{k: f64(v) for k, v in row.items()})
    attached.seal()
    pushed = session(1)
    assert pushed.push_tick(0, 9, **row) == len(expected)
    for s in (attached, pushed):
        got = events(s)
        assert [g[1:4] for g in got] == [(0, local, 9) for local in range(len(expected))]
        for g, e in zip(got, expected):
            assert all(x == y or (math.isnan(x) and math.isnan(y)) for x, y in zip(g[4:], e[1:])) and g[0] == e[0]


def test_ticks_with_only_prices_yield_zero_size_prints():
    s = session(1)
    s.set_ticks(0, i64(1, 2), f64(10.0, 11.0))
    s.set_ticks(0, i64(), f64())  # an empty stream replaces it and yields nothing
    s.seal()
    assert len(s) == 0
    s = session(1)
    s.set_ticks(0, i64(1, 2), f64(10.0, 11.0))
    s.seal()
    assert events(s) == [("trade", 0, 0, 1, 10.0, 0.0, 0.0, 0.0, 0.0), ("trade", 0, 1, 2, 11.0, 0.0, 0.0, 0.0, 0.0)]


def bar_cols(bad):
    cols = [f64(1.0, 2.0) for _ in range(5)]
    cols[bad] = f64(1.0)
    return cols


# Shape refusals come before the finished state, so each is checked on a fresh and a finished session.
@pytest.mark.parametrize("call, message", [
    (lambda s: s.set_bars(0, i64(1, 2), *bar_cols(0)), "all bar arrays must share one length"),
    (lambda s: s.set_bars(0, i64(1, 2), *bar_cols(4)), "all bar arrays must share one length"),
    (lambda s: s.set_ticks(0, i64(1, 2), f64(1.0, 2.0), bid=f64(1.0)), "all tick arrays must share one length"),
    (lambda s: s.set_ticks(0, i64(1, 2), f64(1.0, 2.0), oi=f64(1.0)), "all tick arrays must share one length"),
    (lambda s: s.set_ticks(0, i64(1, 2), f64(1.0)), "all tick arrays must share one length"),
    (lambda s: s.set_depth(0, i64(1), np.ones((2, 1)), np.ones((2, 1)), np.ones((1, 1)), np.ones((1, 1))),
     "depth arrays must have one row per timestamp"),
    (lambda s: s.set_depth(0, i64(1), np.ones((1, 3)), np.ones((1, 2)), np.ones((1, 1)), np.ones((1, 1))),
     "price and size arrays must have the same level count"),
    (lambda s: s.add_instrument("Y", direction=2), "direction must be 1 or -1"),
    (lambda s: s.modify_order(0, 0, units=1.0, size_frac=0.5), "pass units or size_frac, not both"),
])
@pytest.mark.parametrize("finished", [False, True])
def test_argument_refusals(call, message, finished):
    s = session(1)
    if finished:
        s.finish()
    with pytest.raises(ValueError) as e:
        call(s)
    assert str(e.value) == message


# ---------------------------------------------------------------------------
# Depth snapshots


def depth_of(bids, asks, bid_sizes=None, ask_sizes=None):
    s = session(1)
    shaped = [np.array([v], dtype=np.float64).reshape(1, len(v))
              for v in (bids, bid_sizes or [1.0] * len(bids), asks, ask_sizes or [1.0] * len(asks))]
    s.set_depth(0, i64(4), *shaped)
    s.seal()
    return s


def test_depth_levels_without_a_price_are_skipped():
    s = depth_of([0.0, 101.5, NaN, 101.0], [102.0, 102.5], [1.0, 2.0, 3.0, 4.0], [5.0, 6.0])
    assert s.current_depth() == ([(101.5, 2.0), (101.0, 4.0)], [(102.0, 5.0), (102.5, 6.0)])
    assert s.current_event() == ("book", 0, 0, 4, 101.5, 102.0, 2.0, 5.0, 0.0)
    assert s.current() is None


def test_depth_keeps_the_first_five_levels():
    s = depth_of([], [float(p) for p in range(101, 108)])
    bids, asks = s.current_depth()
    assert bids == [] and [p for p, _ in asks] == [101.0, 102.0, 103.0, 104.0, 105.0]
    # No bid side: its best price and size read 0.
    assert s.current_event()[4:] == (0.0, 101.0, 0.0, 1.0, 0.0)


def test_depth_with_no_level_columns_still_stores_one_snapshot_per_row():
    s = session(1)
    s.set_depth(0, i64(1, 2), np.zeros((2, 0)), np.zeros((2, 0)), np.zeros((2, 0)), np.zeros((2, 0)))
    s.seal()
    assert len(s) == 2 and s.current_depth() == ([], [])


# ---------------------------------------------------------------------------
# Live appends


def test_pushes_follow_the_merged_head_in_call_order():
    s = session(2)
    attach_flat(s, 0, [10, 20], [1.0, 2.0])
    s.push_bar(1, 5, 3.0, 3.0, 3.0, 3.0, 1.0)  # seals first: the attached bars come ahead
    s.push_bar(1, 4, 4.0, 4.0, 4.0, 4.0, 1.0)
    s.push_bar(0, 1, 5.0, 5.0, 5.0, 5.0, 1.0)
    attach_flat(s, 1, [0], [9.0])  # too late: the session is sealed
    assert drain(s) == [("bar", 0, 0, 10), ("bar", 0, 1, 20), ("bar", 1, 0, 5), ("bar", 1, 1, 4),
                        ("bar", 0, 2, 1)]


def test_local_indices_run_across_merged_and_pushed_entries():
    s = session(1)
    s.set_ticks(0, i64(1), f64(10.0), bid=f64(9.0), ask=f64(11.0))
    assert s.push_tick(0, 2, 12.0, bid=11.5, ask=12.5) == 2
    s.push_depth(0, 3, [(12.0, 1.0)], [])
    assert [e[2] for e in drain(s)] == [0, 1, 2, 3, 4]


def test_a_row_that_appends_nothing_does_not_seal():
    s = session(1)
    assert s.push_tick(0, 1, 0.0, bid=0.0, ask=5.0) == 0
    attach_flat(s, 0, [1, 2], [1.0, 2.0])
    s.seal()
    assert len(s) == 2


def test_push_depth_levels():
    s = session(1)
    s.push_depth(0, 1, [(100.0, 5.0), (0.0, 3.0), (99.5, 2.0)], [(float(p), 1.0) for p in range(101, 108)])
    s.push_depth(0, 2, [], [])
    bids, asks = s.current_depth()
    assert bids == [(100.0, 5.0), (99.5, 2.0)] and len(asks) == 5 and asks[-1] == (105.0, 1.0)
    s.apply_current()
    assert s.current_depth() == ([], []) and s.current_event()[4:] == (0.0, 0.0, 0.0, 0.0, 0.0)


def test_pushed_depth_keeps_its_position_when_attached_depth_merges_later():
    s = session(2)
    s.set_depth(0, i64(1), *one_level(50.0))
    s.push_depth(1, 9, [(70.0, 2.0)], [])
    assert depths(s) == [(0, ([(50.0, 1.0)], [])), (1, ([(70.0, 2.0)], []))]


@pytest.mark.parametrize("levels, error, message", [
    ([(1.0, 2.0, 3.0)], ValueError, "^expected tuple of length 2, but got tuple of length 3$"),
    ([("x", 1.0)], TypeError, "argument 'bids'"),
])
def test_push_depth_level_refusals(levels, error, message):
    with pytest.raises(error, match=message):
        session(1).push_depth(0, 1, levels, [])
