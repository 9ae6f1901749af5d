"""Results whose size is a product of the arguments: a size no machine could hold is
refused at once with MemoryError naming the byte count, before any work is done."""
import numpy as np
import pytest

import tarnwick as tw

DAY = 86_400 * 10**9


def monte_carlo(n_paths, horizon):
    def call():
        tw.simulate_portfolio_mc([np.array([0.01, -0.02, 0.005])], np.array([1.0]), [np.array([1.0])], 100.0,
                                 n_paths, horizon, 7)
    return call


def batch(items, bars):
    def call():
        ts = np.arange(bars, dtype=np.int64) * DAY
        px = np.full(bars, 100.0)
        item = tw.BatchSingleItem("a", np.zeros(bars, dtype=bool), np.zeros(bars, dtype=bool))
        tw.batch_single_backtest(ts, px, px, px, px, px, [item] * items)
    return call


def covariance(assets):
    def call():
        returns = np.vstack([np.zeros(assets), np.arange(1.0, assets + 1.0) / assets])
        tw.estimate_covariance(returns, [f"a{i}" for i in range(assets)], 252.0)
    return call


@pytest.mark.parametrize("call, bytes_text, what", [
    (monte_carlo(2**31, 252), str(2**31 * 253 * 8), "the paths (2147483648 paths of 252 steps)"),
    # The byte count passes 128 bits: its factors are named.
    (monte_carlo(2**63, 2**64 - 1), f"{2**63} x {2**64} x 8",
     "the paths (9223372036854775808 paths of 18446744073709551615 steps)"),
    # One item object repeated: three curves of 8-byte values per item and bar.
    (batch(10**6, 10**5), str(10**6 * 10**5 * 3 * 8), "the results of 1000000 items over 100000 bars"),
    # Seven n x n matrices of 8-byte values.
    (covariance(10**5), str(7 * 10**10 * 8), "the covariance of 100000 assets"),
])
def test_impossible_sizes_raise_memory_error_with_the_byte_count(call, bytes_text, what):
    with pytest.raises(MemoryError) as e:
        call()
    assert str(e.value) == f"cannot allocate {bytes_text} bytes for {what}"


def test_sizes_that_fit_still_run():
    got = tw.simulate_portfolio_mc([np.array([0.01, -0.02, 0.005])], np.array([1.0]), [np.array([1.0])], 100.0,
                                   200, 5, 7)
    assert got["final_values"].shape == (200,)
    assert all(len(path) == 6 for _, path in got["percentile_paths"])
