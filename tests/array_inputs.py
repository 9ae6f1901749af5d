"""Inputs shared by the tests of the array runners."""
import numpy as np

DAY = 86_400 * 10**9


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
