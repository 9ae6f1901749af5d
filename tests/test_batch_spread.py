import textwrap

import numpy as np
import pytest
from pool_checks import outputs_over_few_cpus, outputs_under_worker_counts, setter_refusals, ticks_inside

import tarnwick as tw

N = 80
TS = np.arange(N, dtype=np.int64) * 3_600 * 10**9
UNDERLYING = np.full(N, 100.0)


def premiums(seed, legs):
    rng = np.random.default_rng(seed)
    return [np.abs(50.0 + np.cumsum(rng.normal(0.0, 2.0, N))) for _ in range(legs)]


def signals(seed, p=0.1):
    rng = np.random.default_rng(seed + 100)
    return rng.random(N) < p, rng.random(N) < p


def item_args(seed):
    legs = [("CE", 100.0, 1, 50), ("pe", 95.0, -1, 50), ("Call", 110.0, -1, 25)][: 1 + seed % 3]
    e, x = signals(seed)
    kw = {}
    if seed % 2:
        kw["legs_open_premiums"] = [p * 0.99 for p in premiums(seed, len(legs))]
    if seed % 3 == 1:
        kw["max_loss"] = 300.0
    if seed % 4 == 2:
        kw["target_profit"] = 250.0
    return premiums(seed, len(legs)), legs, e, x, kw


def same(a, b):
    for curve in ("equity_curve", "returns", "drawdown_curve"):
        assert np.array_equal(getattr(a, curve)(), getattr(b, curve)()), curve
    key = lambda t: (t.id, t.entry_idx, t.exit_idx, t.entry_price, t.exit_price, t.pnl, t.fees, t.exit_reason,
                     t.fee_breakdown)
    assert [key(t) for t in a.trades()] == [key(t) for t in b.trades()]
    assert a.metrics.to_dict() == b.metrics.to_dict()


@pytest.mark.parametrize("config", [None, tw.BacktestConfig(fee_segment="NFO-OPT", fill_timing="next_bar_open")])
def test_items_run_as_single_spread_runs_in_input_order(config):
    items, expected = [], []
    # The spread type is a label only: the single runs are given none.
    kinds = ["iron_condor", "straddle", "IronCondor", "iron-condor", "", "butterfly"]
    for seed, sid in enumerate(["a", "b", "c", "d", "e", "a"]):
        prem, legs, e, x, kw = item_args(seed)
        items.append(tw.BatchSpreadItem(sid, prem, legs, e, x, spread_type=kinds[seed], **kw))
        expected.append(tw.run_spread_backtest(TS, UNDERLYING, prem, legs, e, x, config=config, **kw))
    got = tw.batch_spread_backtest(TS, UNDERLYING, items, config)
    assert [sid for sid, _ in got] == ["a", "b", "c", "d", "e", "a"]
    for (_, result), want in zip(got, expected):
        same(result, want)
    assert any(r.trades() for _, r in got)


def test_empty_items_and_tuples():
    assert tw.batch_spread_backtest(TS, UNDERLYING, []) == []
    prem, legs, e, x, _ = item_args(0)
    item = tw.BatchSpreadItem("t", prem, legs, e, x)
    assert [sid for sid, _ in tw.batch_spread_backtest(TS, UNDERLYING, (item, item))] == ["t", "t"]


BATCH_MSG = "unknown option type {} for the leg at strike {}; expected CE/CALL/C or PE/PUT/P (case-insensitive)."


def with_leg(sid, option_type, strike):
    prem, _, e, x, _ = item_args(0)
    return tw.BatchSpreadItem(sid, prem, [(option_type, strike, 1, 1)], e, x)


@pytest.mark.parametrize("option_type, strike, shown", [("CE ", 250.0, "250"), ("", 1e-7, "0.0000001")])
def test_unknown_option_type_fails_the_whole_batch(option_type, strike, shown):
    # Only the lowest failing item is reported.
    items = [with_leg("ok", "ce", 1.0), with_leg("bad", option_type, strike)] + [with_leg("i", "PE", 1.0)] * 4
    items.insert(4, with_leg("later", "Q3", 33.0))
    with pytest.raises(ValueError) as e:
        tw.batch_spread_backtest(TS, UNDERLYING, items)
    assert str(e.value) == BATCH_MSG.format(option_type, shown)


@pytest.mark.parametrize("bad, message", [
    (lambda p, legs, e, x: tw.BatchSpreadItem("short", [q[:-1] for q in p], legs, e, x),
     f"item 'short': legs_premiums[0] has {N - 1} values, timestamps has {N}"),
    (lambda p, legs, e, x: tw.BatchSpreadItem("legs", p + p, legs, e, x),
     "item 'legs': legs_premiums has 2 series, leg_configs has 1"),
    (lambda p, legs, e, x: tw.BatchSpreadItem("mirror", p, legs, e, x, legs_open_premiums=p + p),
     "item 'mirror': legs_open_premiums must mirror legs_premiums exactly -- same number of legs, same number of "
     "bars per leg"),
    (lambda p, legs, e, x: tw.BatchSpreadItem("signals", p, legs, e[:-3], x),
     f"item 'signals': entries has {N - 3} values, timestamps has {N}"),
])
def test_an_item_whose_arrays_do_not_fit_fails_the_batch_by_name(bad, message):
    prem, legs, e, x, _ = item_args(0)
    fine = tw.BatchSpreadItem("fine", prem, legs, e, x)
    # The first failing item in input order is reported, and nothing runs.
    items = [fine, bad(prem, legs, e, x), tw.BatchSpreadItem("later", prem[:0], legs, e, x)]
    with pytest.raises(ValueError) as err:
        tw.batch_spread_backtest(TS, UNDERLYING, items)
    assert str(err.value) == message


def test_signature_and_doc():
    f = tw.batch_spread_backtest
    assert f.__text_signature__ == "(timestamps, underlying_close, items, config=None)"
    assert f.__doc__ == ("Run multiple spread backtests in parallel on the worker pool.\n\n"
                         "Shared data (timestamps, underlying_close) is converted once, then each\n"
                         "item is backtested on its own worker thread with the GIL released.\n\n"
                         "Returns a list of (strategy_id, BacktestResult) tuples.")


# The pool is sized once per process: run one batch under two sizes in fresh
# interpreters and compare digests of everything the results hold.
SCRIPT = textwrap.dedent("""
    import hashlib
    import numpy as np
    import tarnwick as tw
    rng = np.random.default_rng(3)
    n = 2000
    ts = np.arange(n, dtype=np.int64) * 60 * 10**9
    items = []
    for k in range(20):
        legs = [("CE", 100.0, 1, 50), ("PE", 100.0, -1, 50)][: 1 + k % 2]
        prem = [np.abs(40 + np.cumsum(rng.normal(0, 1, n))) for _ in legs]
        items.append(tw.BatchSpreadItem(str(k), prem, legs, rng.random(n) < 0.03, rng.random(n) < 0.03,
                                        max_loss=500.0 if k % 3 else None))
    cfg = tw.BacktestConfig(fee_segment="NFO-OPT", squareoff_time="15:15")
    h = hashlib.sha256()
    for sid, r in tw.batch_spread_backtest(ts, np.ones(n), items, cfg):
        h.update(sid.encode())
        for c in (r.equity_curve(), r.returns(), r.drawdown_curve()):
            h.update(c.tobytes())
        for t in r.trades():
            h.update(repr((t.entry_idx, t.exit_idx, t.entry_price, t.exit_price, t.pnl, t.fee_breakdown)).encode())
        h.update(repr(sorted(r.metrics.to_dict().items())).encode())
    print(h.hexdigest())
""")


def test_worker_count_does_not_change_results_or_print():
    one, four = outputs_under_worker_counts(SCRIPT)
    assert one == four and len(one) == 64
    # More workers asked for than CPUs: the one-worker results, and nothing on stderr.
    assert outputs_over_few_cpus(SCRIPT) == (one, "")


def long_batch(count, seed):
    """A call of the batch over `count` two-leg items of 100,000 bars, and its items."""
    n = 100_000
    ts = np.arange(n, dtype=np.int64) * 60 * 10**9
    prem = [50.0 + np.sin(np.arange(n) / 40.0), 40.0 + np.cos(np.arange(n) / 30.0)]
    rng = np.random.default_rng(seed)
    items = [tw.BatchSpreadItem(str(k), prem, [("CE", 1.0, 1, 50), ("PE", 1.0, -1, 50)], rng.random(n) < 0.02,
                                rng.random(n) < 0.02) for k in range(count)]
    return (lambda: tw.batch_spread_backtest(ts, np.ones(n), items)), items


def test_other_threads_run_while_the_batch_works():
    call, _ = long_batch(16, 8)
    assert ticks_inside(call) > 100


def test_items_cannot_change_while_the_batch_reads_them():
    # The batch reads the items' series in place with the lock released: setters must be
    # refused until it is over, and work again afterwards.
    call, items = long_batch(24, 9)
    assert setter_refusals(call, items[5], "max_loss", 10.0) == {"Already borrowed"}
    items[5].max_loss = 20.0
    assert items[5].max_loss == 20.0
