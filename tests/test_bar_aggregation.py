import functools
import math
import operator

import numpy as np
import pytest
from pool_checks import outputs_over_few_cpus, outputs_under_worker_counts

from tarnwick import BarAggregator, aggregate_bars, bars_from_ticks

SEC = 1_000_000_000
MIN = 60 * SEC
NAN = math.nan
ALL_UNITS = [
    "ms", "millisecond", "s", "sec", "second", "m", "min", "minute", "h", "hour", "d", "day", "w", "week",
    "month", "y", "year", "tick", "volume", "value", "renko", "tick_imbalance", "tick_runs",
    "volume_imbalance", "volume_runs", "value_imbalance", "value_runs",
]


def random_bars(n, seed, spacing=37 * SEC):
    rng = np.random.default_rng(seed)
    ts = np.cumsum(rng.integers(1, spacing, n)).astype(np.int64) + 1_700_000_000 * SEC
    close = 100.0 + np.cumsum(rng.normal(0.0, 0.8, n))
    open_ = close + rng.normal(0.0, 0.3, n)
    high = np.maximum(open_, close) + rng.uniform(0.0, 0.5, n)
    low = np.minimum(open_, close) - rng.uniform(0.0, 0.5, n)
    volume = rng.uniform(1.0, 50.0, n)
    return ts, open_, high, low, close, volume


def stream(agg, rows, push):
    out = []
    for row in rows:
        bar = push(agg, *row)
        if bar is not None:
            out.append(bar)
        while (held := agg.next_pending()) is not None:
            out.append(held)
    last = agg.flush()
    if last is not None:
        out.append(last)
    return out


def as_rows(arrays):
    ts = arrays[0]
    return [(int(ts[i]), *(float(a[i]) for a in arrays[1:])) for i in range(len(ts))]


# ---------------------------------------------------------------------------
# Class face


def test_face_signatures_and_registration():
    assert BarAggregator.__text_signature__ == "(step, unit, tz_offset_ns=0, brick_size=0.0)"
    assert BarAggregator.__doc__.startswith("Streaming bar aggregator.\n\nPush source records")
    assert BarAggregator.push_trade.__text_signature__ == "($self, timestamp, price, size, signed_size=0.0)"
    assert BarAggregator.next_pending.__text_signature__ == "($self)"
    assert bars_from_ticks.__text_signature__ == (
        "(timestamps, ltp, buy_qty_delta, sell_qty_delta, step, unit, tz_offset_ns=0, brick_size=0.0)")


def test_step_and_unit_are_read_only_copies():
    agg = BarAggregator(4294967295, "min", tz_offset_ns=-5, brick_size=2.0)
    assert agg.step == 4294967295 and type(agg.step) is int
    assert agg.unit == "min"
    with pytest.raises(AttributeError):
        agg.step = 2
    with pytest.raises(AttributeError):
        del agg.unit
    assert repr(agg).startswith("<builtins.BarAggregator object at")


@pytest.mark.parametrize("args, message", [
    ((1, "Minute"), "unknown aggregation unit Minute"),
    ((0, "m"), "aggregation step must be >= 1"),
    ((1, "renko", 0, math.inf), "invalid builder parameter: brick_size must be finite and > 0"),
])
def test_construction_refusals(args, message):
    with pytest.raises(ValueError) as e:
        BarAggregator(*args)
    assert str(e.value) == message


def test_every_unit_is_accepted_by_every_entry():
    empty_i = np.zeros(0, np.int64)
    empty_f = np.zeros(0)
    for unit in ALL_UNITS:
        assert BarAggregator(1, unit).unit == unit
        for out in (aggregate_bars(empty_i, empty_f, empty_f, empty_f, empty_f, empty_f, 1, unit),
                    bars_from_ticks(empty_i, empty_f, empty_f, empty_f, 1, unit)):
            assert type(out) is tuple and all(a.size == 0 for a in out)
            assert [a.dtype for a in out] == [np.int64] + [np.float64] * 5


# ---------------------------------------------------------------------------
# Streaming behaviour


def test_five_minute_bars_stamped_at_window_end():
    agg = BarAggregator(5, "m")
    t0915 = 9 * 3600 * SEC + 15 * MIN
    assert agg.push_bar(t0915, 10.0, 11.0, 9.0, 10.5, 100.0) is None
    assert agg.push_bar(t0915 + MIN, 10.5, 12.0, 10.0, 11.0, 50.0) is None
    bar = agg.push_bar(t0915 + 5 * MIN, 11.0, 11.5, 10.8, 11.2, 25.0)
    assert bar == (t0915 + 5 * MIN, 10.0, 12.0, 9.0, 11.0, 150.0)
    assert type(bar[0]) is int and all(type(x) is float for x in bar[1:])


def test_trade_without_signed_size_uses_the_tick_rule():
    # 10, 10, 9, 9, 11 -> +1, +1, -1, -1, +1; imbalance after each: 1, 2 (closes), -1, -2 (closes), 1.
    agg = BarAggregator(2, "tick_imbalance")
    got = [agg.push_trade(i, p, 1.0) for i, p in enumerate([10.0, 10.0, 9.0, 9.0, 11.0])]
    assert got == [None, (1, 10.0, 10.0, 10.0, 10.0, 2.0), None, (3, 9.0, 9.0, 9.0, 9.0, 2.0), None]
    assert agg.flush() == (4, 11.0, 11.0, 11.0, 11.0, 1.0)


def test_flush_emits_once_and_pushing_continues():
    agg = BarAggregator(3, "tick")
    assert agg.flush() is None
    agg.push_bar(5, 1.0, 2.0, 0.5, 1.5, 1.0)
    assert agg.flush() == (5, 1.0, 2.0, 0.5, 1.5, 1.0)
    assert agg.flush() is None
    assert [agg.push_bar(t, 1.0, 1.0, 1.0, 1.0, 1.0) for t in (6, 7, 8)] == [None, None, (8, 1.0, 1.0, 1.0, 1.0, 3.0)]


def test_bad_push_argument_leaves_the_aggregator_unchanged():
    agg = BarAggregator(2, "tick")
    agg.push_bar(1, 1.0, 1.0, 1.0, 1.0, 1.0)
    with pytest.raises(TypeError, match="argument 'volume'"):
        agg.push_bar(2, 2.0, 2.0, 2.0, 2.0, "x")
    assert agg.push_bar(3, 3.0, 3.0, 3.0, 3.0, 1.0) == (3, 1.0, 3.0, 1.0, 3.0, 2.0)


def test_reentrant_call_is_refused():
    agg = BarAggregator(1, "tick")

    class Sneaky:
        def __float__(self):
            agg.flush()
            return 1.0

    with pytest.raises(RuntimeError, match="Already borrowed"):
        agg.push_bar(0, Sneaky(), 1.0, 1.0, 1.0, 1.0)
    assert agg.push_bar(0, 1.0, 1.0, 1.0, 1.0, 1.0) == (0, 1.0, 1.0, 1.0, 1.0, 1.0)


# ---------------------------------------------------------------------------
# Whole arrays


@pytest.mark.parametrize("step, unit, tz, brick", [
    (5, "min", 19_800 * SEC, 0.0), (1, "d", 19_800 * SEC, 0.0),
    (1, "month", 0, 0.0), (7, "tick", 0, 0.0), (300, "volume", 0, 0.0), (20_000, "value", 0, 0.0),
    (1, "renko", 0, 0.5), (3, "renko", 0, 0.0), (4, "tick_imbalance", 0, 0.0), (5, "tick_runs", 0, 0.0),
    (100, "volume_imbalance", 0, 0.0), (120, "volume_runs", 0, 0.0), (9000, "value_imbalance", 0, 0.0),
    (15000, "value_runs", 0, 0.0),
])
def test_aggregate_bars_equals_streaming(step, unit, tz, brick):
    spacing = 5 * 86_400 * SEC if unit in ("d", "month") else 37 * SEC
    arrays = random_bars(400, seed=step + len(unit), spacing=spacing)
    out = aggregate_bars(*arrays, step, unit, tz_offset_ns=tz, brick_size=brick)
    assert [a.dtype for a in out] == [np.int64] + [np.float64] * 5
    expected = stream(BarAggregator(step, unit, tz, brick), as_rows(arrays), BarAggregator.push_bar)
    assert len(expected) > 1
    got = list(zip(*(a.tolist() for a in out)))
    np.testing.assert_array_equal(np.array(got), np.array(expected))


@pytest.mark.parametrize("minutes, tz", [(1, 0), (15, 0), (60, 19_800 * SEC), (1440, -7 * 3600 * SEC)])
def test_time_bars_match_a_numpy_grouping(minutes, tz):
    ts, o, h, l, c, v = random_bars(600, seed=minutes)
    window = minutes * MIN
    bucket = (ts + tz) // window  # numpy floors like the builders
    starts = np.flatnonzero(np.r_[True, bucket[1:] != bucket[:-1]])
    ends = np.r_[starts[1:], len(ts)]
    out = aggregate_bars(ts, o, h, l, c, v, minutes, "m", tz_offset_ns=tz)
    np.testing.assert_array_equal(out[0], (bucket[starts] + 1) * window - tz)
    np.testing.assert_array_equal(out[1], o[starts])
    np.testing.assert_array_equal(out[2], [h[a:b].max() for a, b in zip(starts, ends)])
    np.testing.assert_array_equal(out[3], [l[a:b].min() for a, b in zip(starts, ends)])
    np.testing.assert_array_equal(out[4], c[ends - 1])
    # Volume is summed left to right (Python's sum() compensates, so fold plainly).
    np.testing.assert_array_equal(out[5], [functools.reduce(operator.add, v[a:b].tolist()) for a, b in zip(starts, ends)])


def test_length_mismatch_reported_before_the_unit():
    ts = np.array([1, 2], np.int64)
    two, three = np.ones(2), np.ones(3)
    with pytest.raises(ValueError, match="^all input arrays must share one length$"):
        aggregate_bars(ts, two, two, two, two, three, 0, "bogus")
    with pytest.raises(ValueError, match="^all input arrays must share one length$"):
        bars_from_ticks(ts, two, three, two, 0, "bogus")
    with pytest.raises(ValueError, match="^unknown aggregation unit bogus$"):
        aggregate_bars(ts, two, two, two, two, two, 0, "bogus")
    with pytest.raises(ValueError, match="^aggregation step must be >= 1$"):
        bars_from_ticks(ts, two, two, two, 0, "tick")


def test_ticks_without_a_price_are_skipped():
    ts = np.array([1, 2, 3, 4, 5], np.int64)
    ltp = np.array([10.0, 0.0, 12.0, NAN, 11.0])
    buy = np.array([5.0, 100.0, -1.0, 100.0, 2.0])
    sell = np.array([-3.0, 100.0, 4.0, 100.0, 0.0])
    out = bars_from_ticks(ts, ltp, buy, sell, 1, "m")
    # Rows 0, 2 and 4: sizes |5|+|-3| = 8, |-1|+|4| = 5, 2.
    assert [a.tolist() for a in out] == [[MIN], [10.0], [12.0], [10.0], [11.0], [15.0]]


def test_ticks_classify_flow_by_delta_sign_then_tick_rule():
    # Signed sizes |b|-|s|: +2 (buy), -3 (sell), 0 -> tick rule: 11 < 12 sells, 0 -> unchanged sells.
    ts = np.array([1, 2, 3, 4], np.int64)
    ltp = np.array([10.0, 12.0, 11.0, 11.0])
    buy = np.array([5.0, 1.0, 2.0, 1.0])
    sell = np.array([3.0, 4.0, -2.0, 1.0])
    out = bars_from_ticks(ts, ltp, buy, sell, 3, "tick_runs")
    # buy 1, sell 1, sell 2, sell 3 -> closes at row 4.
    assert out[0].tolist() == [4]
    expected = stream(BarAggregator(3, "tick_runs"),
                      [(int(t), p, abs(b) + abs(s), abs(b) - abs(s)) for t, p, b, s in zip(ts, ltp, buy, sell)],
                      BarAggregator.push_trade)
    assert list(zip(*(a.tolist() for a in out))) == expected


# ---------------------------------------------------------------------------
# Arrays read in place, work split over the pool


def _minute_grouping(ts, o, h, l, c, v, window):
    bucket = ts // window
    starts = np.flatnonzero(np.r_[True, bucket[1:] != bucket[:-1]])
    ends = np.r_[starts[1:], len(ts)]
    volume = [functools.reduce(operator.add, part) for part in np.split(v, starts[1:])]
    return ((bucket[starts] + 1) * window, o[starts], np.maximum.reduceat(h, starts),
            np.minimum.reduceat(l, starts), c[ends - 1], np.array(volume))


def test_long_inputs_split_over_the_pool_match_a_numpy_grouping():
    # Long enough to be cut into parts for every worker; bars longer than a part included.
    ts, o, h, l, c, v = random_bars(1_200_000, seed=5, spacing=2 * SEC)
    out = aggregate_bars(ts, o, h, l, c, v, 1, "m")
    for got, want in zip(out, _minute_grouping(ts, o, h, l, c, v, MIN)):
        np.testing.assert_array_equal(got, want)
    # 1,000 rows to a tick bar: every field from whole blocks of rows.
    out = aggregate_bars(ts, o, h, l, c, v, 1000, "tick")
    starts = np.arange(0, len(ts), 1000)
    ends = np.minimum(starts + 1000, len(ts))
    np.testing.assert_array_equal(out[0], ts[ends - 1])
    np.testing.assert_array_equal(out[1], o[starts])
    np.testing.assert_array_equal(out[2], np.maximum.reduceat(h, starts))
    np.testing.assert_array_equal(out[3], np.minimum.reduceat(l, starts))
    np.testing.assert_array_equal(out[4], c[ends - 1])


_WORKER_UNITS = [(1, "m", 0.0), (600, "tick", 0.0), (5000, "volume", 0.0), (500_000, "value", 0.0),
                 (1, "renko", 0.5), (40, "tick_imbalance", 0.0), (3000, "volume_runs", 0.0)]

_WORKER_SCRIPT = """
import hashlib, sys
import numpy as np
from tarnwick import aggregate_bars, bars_from_ticks
rng = np.random.default_rng(8)
n = 900_000
ts = np.cumsum(rng.integers(0, 200_000_000, n)).astype(np.int64)
price = np.round(100 + np.cumsum(rng.normal(0, 0.05, n)), 2)
ltp = np.where(rng.random(n) < 0.02, 0.0, price)
buy = rng.integers(0, 30, n).astype(float)
sell = rng.integers(0, 30, n).astype(float)
h = hashlib.sha256()
for step, unit, brick in %r:
    for out in (aggregate_bars(ts, price, price + 0.1, price - 0.1, price, buy + sell, step, unit, brick_size=brick),
                bars_from_ticks(ts, ltp, buy, sell, step, unit, brick_size=brick)):
        for a in out:
            h.update(a.tobytes())
print(h.hexdigest())
""" % (_WORKER_UNITS,)


def test_bars_are_the_same_for_any_worker_count():
    digests = set(outputs_under_worker_counts(_WORKER_SCRIPT, counts=("1", "3", "8")))
    # More workers asked for than the process has CPUs: the same bars, and nothing on stderr.
    over, stderr = outputs_over_few_cpus(_WORKER_SCRIPT)
    assert stderr == ""
    digests.add(over)
    assert len(digests) == 1


@pytest.mark.parametrize("unit, step", [("m", 1), ("tick", 7), ("volume_runs", 60), ("renko", 1)])
def test_strided_arrays_read_like_their_copies(unit, step):
    ts, o, h, l, c, v = random_bars(4000, seed=step)
    wide = [np.repeat(a, 2) for a in (ts, o, h, l, c, v)]  # every other element is the data
    views = [a[::2] for a in wide]
    assert not views[1].flags.c_contiguous
    np.testing.assert_array_equal(np.array(aggregate_bars(*views, step, unit)),
                                  np.array(aggregate_bars(ts, o, h, l, c, v, step, unit)))
    np.testing.assert_array_equal(np.array(bars_from_ticks(views[0], views[4], views[5], views[1], step, unit)),
                                  np.array(bars_from_ticks(ts, c, v, o, step, unit)))


def _unaligned(a):
    raw = np.zeros(a.nbytes + 1, np.uint8)
    out = np.frombuffer(raw.data, dtype=a.dtype, count=a.size, offset=1)
    out[...] = a
    return out


def test_unaligned_arrays_read_like_aligned_ones():
    arrays = random_bars(3000, seed=4)
    odd = [_unaligned(a) for a in arrays]
    assert not odd[2].flags.aligned
    for step, unit in ((1, "m"), (40, "volume"), (5, "tick_runs")):
        np.testing.assert_array_equal(np.array(aggregate_bars(*odd, step, unit)),
                                      np.array(aggregate_bars(*arrays, step, unit)))


def test_inputs_are_left_alone_and_results_are_fresh_arrays():
    arrays = random_bars(3000, seed=9)
    before = [a.copy() for a in arrays]
    out = aggregate_bars(*arrays, 1, "m")
    for a, b in zip(arrays, before):
        np.testing.assert_array_equal(a, b)
    for a in out:
        assert a.flags.writeable and a.flags.c_contiguous
        assert not any(np.shares_memory(a, x) for x in arrays)
    out[1][:] = -1.0  # writing a result touches no input
    np.testing.assert_array_equal(arrays[1], before[1])


# ---------------------------------------------------------------------------
# Re-aggregating the module's own bars: they are stamped at their end, and a bar goes to
# the window holding its timestamp, so a chain must shift them back by their own length.


@pytest.mark.parametrize("fine, coarse, unit, tz", [
    (5, 60, "min", 19_800 * SEC),
    (1, 15, "min", 0),
    (15, 1440, "min", 19_800 * SEC),
], ids=["5min_to_1h_ist", "1min_to_15min_utc", "15min_to_1d_ist"])
def test_a_chain_shifted_to_bar_starts_equals_aggregating_the_ticks(fine, coarse, unit, tz):
    rng = np.random.default_rng(fine * 1000 + coarse)
    n = 20_000
    spread = max(1, coarse // 60)  # day bars need ticks over several days
    ts = (1_709_264_700 * SEC + np.cumsum(rng.integers(200, 3_000, n) * spread) * 1_000_000).astype(np.int64)
    ltp = np.round(1_500.0 + np.cumsum(rng.normal(0.0, 0.25, n)), 2)
    # Whole quantities, so that volumes summed in either grouping are exact.
    buy, sell = rng.integers(0, 200, n).astype(np.float64), rng.integers(0, 200, n).astype(np.float64)
    finer = bars_from_ticks(ts, ltp, buy, sell, fine, unit, tz_offset_ns=tz)
    direct = bars_from_ticks(ts, ltp, buy, sell, coarse, unit, tz_offset_ns=tz)
    starts = (finer[0] - fine * MIN, *finer[1:])
    chained = aggregate_bars(*starts, coarse, unit, tz_offset_ns=tz)
    for got, want in zip(chained, direct):
        np.testing.assert_array_equal(got, want)
    assert len(direct[0]) > 3
    # Unshifted, each coarse bar takes the finer bar that ends at its start.
    late = aggregate_bars(*finer, coarse, unit, tz_offset_ns=tz)
    assert not np.array_equal(late[4], direct[4])
