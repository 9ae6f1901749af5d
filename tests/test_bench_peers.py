"""A bench prints a ratio of our time to a peer's only for runs that did the same work."""
import math
import pathlib
import sys

import numpy as np
import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "bench"))

from bench_single_backtest import check_same_run, data, numpy_reference, ours  # noqa: E402
from timing import same_work  # noqa: E402


@pytest.mark.parametrize("ours_value, peer, rtol, atol, same", [
    (1.0, 1.0, 0.0, 0.0, True),
    ([1.0, 2.0], [1.0, 2.0 + 1e-12], 1e-9, 0.0, True),
    ([1.0, 2.0], [1.0, 2.0 + 1e-6], 1e-9, 0.0, False),
    ([0.0, 1e-13], [0.0, 0.0], 0.0, 1e-12, True),
    ([math.nan, 1.0], [math.nan, 1.0], 0.0, 0.0, True),  # both undefined at the same place
    ([math.nan, 1.0], [0.0, 1.0], 0.0, 0.0, False),
    ([1.0, 2.0], [1.0, 2.0, 3.0], 1.0, 1.0, False),  # a trade more is other work, whatever the tolerance
    (5003, 4979, 0.0, 0.0, False),
])
def test_same_work_stops_the_bench_unless_the_results_agree(ours_value, peer, rtol, atol, same):
    if same:
        same_work("results", ours_value, peer, rtol=rtol, atol=atol)
    else:
        with pytest.raises(SystemExit, match="^DIFFERENT WORK, no ratio printed: results differ"):
            same_work("results", ours_value, peer, rtol=rtol, atol=atol)


def test_the_single_backtest_bench_data_make_the_same_run_as_a_plain_loop():
    # The plain loop, like any peer, trades on whatever capital is left; on a walk that wore
    # the account down to rounding residue we would stop trading there and it would not.
    bars, entries, exits = data()
    (equity, _, _), trades = numpy_reference(bars[4], entries, exits)
    assert len(trades) > 4000
    check_same_run(ours(bars, entries, exits), trades, equity[-1], "plain loop")
