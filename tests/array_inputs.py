"""Inputs shared by the tests of the array runners."""
import numpy as np

DAY = 86_400 * 10**9

# New timestamps for an instrument, from its old ones: shifted a year later, or an hour
# apart instead of a day.
RESTAMPS = {"a_year_late": lambda t: t + 365 * DAY, "hourly": lambda t: t // 24}


def flags(n, *idx):
    """n signal flags, set at the given bars."""
    out = np.zeros(n, dtype=bool)
    out[list(idx)] = True
    return out


def inst(close, entries=(), exits=(), direction=1, weight=1.0, symbol="A", open_=None):
    """One instrument tuple of the multi-instrument runners, daily bars from the closes."""
    n = len(close)
    close = np.array(close, dtype=np.float64)
    open_ = close.copy() if open_ is None else np.array(open_, dtype=np.float64)
    return (np.arange(n, dtype=np.int64) * DAY, open_, np.maximum(open_, close), np.minimum(open_, close), close,
            np.full(n, 1000.0), flags(n, *entries), flags(n, *exits), direction, weight, symbol)


def at_odd_address(a):
    """The same values at an address that is not a multiple of the item size (as a buffer
    read at an odd offset gives them); arrays of one-byte items are returned as they are."""
    a = np.asarray(a)
    if a.dtype.itemsize == 1:
        return a
    raw = np.zeros(a.nbytes + a.dtype.itemsize + 1, dtype=np.uint8)
    offset = next(k for k in range(1, a.dtype.itemsize) if (raw.ctypes.data + k) % a.dtype.itemsize)
    out = raw[offset:offset + a.nbytes].view(a.dtype).reshape(a.shape)
    out[...] = a
    assert not out.flags.aligned
    return out


def packed_field(a):
    """The values of a 1-D array as a field of a packed record array: unaligned and strided."""
    a = np.asarray(a)
    if a.dtype.itemsize == 1 or a.ndim != 1:
        return at_odd_address(a)
    records = np.zeros(a.shape, dtype=[("pad", "u1"), ("v", a.dtype)])
    records["v"] = a
    assert not records["v"].flags.aligned
    return records["v"]


def with_signal_bytes(instrument, value):
    """The instrument tuple with its set entry and exit flags stored as the byte `value`."""
    t = list(instrument)
    for k in (6, 7):
        raw = t[k].view(np.uint8).copy()
        raw[raw != 0] = value
        t[k] = raw.view(bool)
    return tuple(t)


def restamped(instrument, how):
    """The instrument tuple with its timestamps replaced as RESTAMPS[how] says."""
    return (RESTAMPS[how](instrument[0]), *instrument[1:])


def assert_dated_by_their_own_instrument(base, moved, instruments):
    """`moved` is `base` bar for bar, each trade dated by the stamps of the instrument it
    belongs to (by symbol)."""
    stamps = {inst[10]: inst[0] for inst in instruments}
    assert len(moved.trades()) == len(base.trades()) > 0
    for t, u in zip(base.trades(), moved.trades()):
        assert (u.symbol, u.entry_idx, u.exit_idx, u.size, u.pnl) == (t.symbol, t.entry_idx, t.exit_idx, t.size, t.pnl)
        assert (u.entry_time, u.exit_time) == (stamps[t.symbol][t.entry_idx], stamps[t.symbol][t.exit_idx])
    np.testing.assert_array_equal(moved.equity_curve(), base.equity_curve())
