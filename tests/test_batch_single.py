import re
import textwrap

import numpy as np
import pytest
from pool_checks import outputs_over_few_cpus, outputs_under_worker_counts, setter_refusals, ticks_inside

import tarnwick as tw

N = 60


def series(n=N, seed=7):
    rng = np.random.default_rng(seed)
    close = 100.0 * np.cumprod(1.0 + rng.normal(0.0, 0.02, n))
    open_ = np.concatenate([[close[0]], close[:-1]]) * (1.0 + rng.normal(0.0, 0.003, n))
    high = np.maximum(open_, close) * 1.01
    low = np.minimum(open_, close) * 0.99
    return np.arange(n, dtype=np.int64) * 86_400 * 10**9, open_, high, low, close, rng.uniform(1e3, 1e4, n)


def signals(seed, n=N, p=0.1):
    rng = np.random.default_rng(seed)
    return rng.random(n) < p, rng.random(n) < p


def assert_same(a, b):
    for curve in ("equity_curve", "returns", "drawdown_curve"):
        assert np.array_equal(getattr(a, curve)(), getattr(b, curve)()), curve
    ta, tb = a.trades(), b.trades()
    assert [(t.entry_idx, t.exit_idx, t.entry_price, t.exit_price, t.size, t.pnl, t.fees, t.symbol, t.exit_reason)
            for t in ta] == [(t.entry_idx, t.exit_idx, t.entry_price, t.exit_price, t.size, t.pnl, t.fees, t.symbol,
                              t.exit_reason) for t in tb]
    assert a.metrics.to_dict() == b.metrics.to_dict()


def test_items_run_as_single_backtests_in_input_order():
    s = series()
    stop_config = tw.BacktestConfig(fees=0.0005, upon_bar_close=False)
    stop_config.set_atr_stop(1.5, 5)
    instrument = tw.InstrumentConfig(lot_size=10.0)
    specs = [
        dict(item_id="a"),
        dict(item_id="b", direction=-1, symbol="XYZ"),
        dict(item_id="c", config=stop_config),
        dict(item_id="d", position_sizes=np.linspace(0.1, 1.0, N), instrument_config=instrument),
        dict(item_id="a", weight=0.0),
    ]
    items, expected = [], []
    for k, spec in enumerate(specs):
        e, x = signals(k)
        items.append(tw.BatchSingleItem(spec.pop("item_id"), e, x, **spec))
        expected.append(tw.run_single_backtest(*s, e, x, **{k2: v for k2, v in spec.items() if k2 != "item_id"}))
    got = tw.batch_single_backtest(*s, items)
    assert [i for i, _ in got] == ["a", "b", "c", "d", "a"]
    for (_, result), want in zip(got, expected):
        assert_same(result, want)


def test_the_docstring_examples_of_fractions_that_open_nothing():
    # Every item of a batch holds out-of-range fractions on the bars that have an entry: the
    # batch runs to the end, and none of them trades.
    doc = " ".join(tw.BatchSingleItem.__doc__.split())
    assert "A fraction outside (0, 1], or NaN, makes that entry open nothing" in doc
    examples = [float(x) for x in re.findall(r"-?\d+\.\d+", re.search(r"without an error: (.*)$", doc).group(1))]
    assert len(examples) >= 2  # the sentence was found and holds its examples
    s = series()
    e, x = signals(3)
    items = [tw.BatchSingleItem(f"at {f}", e, x, position_sizes=np.where(e, f, 1.0)) for f in examples + [np.nan]]
    got = tw.batch_single_backtest(*s, items + [tw.BatchSingleItem("whole", e, x)])
    assert [len(r.trades()) for _, r in got[:-1]] == [0] * len(items) and len(got[-1][1].trades()) > 0


def test_batch_config_and_item_config():
    s = series()
    e, x = signals(1)
    batch_config = tw.BacktestConfig(initial_capital=500_000.0, fees=0.01)
    got = tw.batch_single_backtest(*s, [tw.BatchSingleItem("own", e, x, config=tw.BacktestConfig()),
                                        tw.BatchSingleItem("shared", e, x)], config=batch_config)
    # The item's own configuration replaces the batch's whole, not field by field.
    assert_same(got[0][1], tw.run_single_backtest(*s, e, x))
    assert got[0][1].equity_curve()[0] <= 100_000.0
    assert_same(got[1][1], tw.run_single_backtest(*s, e, x, config=batch_config))
    # Without any configuration the defaults apply.
    (_, plain), = tw.batch_single_backtest(*s, [tw.BatchSingleItem("x", e, x)], None)
    assert_same(plain, tw.run_single_backtest(*s, e, x))


def test_annualisation_settings_per_item():
    # Minute bars with gaps: the periods per year depend on each item's session setting,
    # which the batch must honour item by item.
    ts, o, h, lo, c, v = series()
    ts = np.cumsum(np.where(np.arange(N) % 7 == 0, 300, 60)).astype(np.int64) * 10**9
    s = (ts, o, h, lo, c, v)
    configs = [tw.BacktestConfig(), tw.BacktestConfig(session_minutes=0.0), tw.BacktestConfig(session_minutes=60.0),
               tw.BacktestConfig(session_minutes=60.0), tw.BacktestConfig(legacy_annualization=True),
               tw.BacktestConfig(periods_per_year=1000.0), tw.BacktestConfig(periods_per_year=0.0)]
    e, x = signals(3)
    got = tw.batch_single_backtest(*s, [tw.BatchSingleItem(str(k), e, x, config=cfg) for k, cfg in enumerate(configs)])
    for (_, result), cfg in zip(got, configs):
        assert_same(result, tw.run_single_backtest(*s, e, x, config=cfg))
    assert len({result.metrics.sharpe_ratio for _, result in got}) >= 4


def test_item_sequences():
    s = series()
    e, x = signals(2)
    item = tw.BatchSingleItem("t", e, x)
    assert tw.batch_single_backtest(*s, []) == []
    assert [i for i, _ in tw.batch_single_backtest(*s, (item, item))] == ["t", "t"]


def test_items_that_are_not_items_are_refused():
    with pytest.raises(TypeError, match="^argument 'items': 'int' object cannot be converted to 'BatchSingleItem'$"):
        tw.batch_single_backtest(*series(), [1])


def bad(kind, item_id):
    e, x = signals(3)
    if kind == "exits":
        return tw.BatchSingleItem(item_id, e, x[:-1])
    if kind == "entries":
        return tw.BatchSingleItem(item_id, e[:-1], x[:-1])
    if kind == "sizes":
        return tw.BatchSingleItem(item_id, e, x, position_sizes=np.ones(N + 1))
    return tw.BatchSingleItem(item_id, e, x, direction=0)


@pytest.mark.parametrize("kind, message", [
    ("exits", f"item 'bad': entries ({N}) and exits ({N - 1}) must match the shared price series length ({N})"),
    ("entries", f"item 'bad': entries ({N - 1}) and exits ({N - 1}) must match the shared price series length ({N})"),
    ("sizes", f"item 'bad': position_sizes ({N + 1}) must match the shared price series length ({N})"),
    ("direction", "item 'bad': direction must be 1 (long) or -1 (short), got 0"),
])
def test_item_validation_messages(kind, message):
    e, x = signals(0)
    with pytest.raises(ValueError) as err:
        tw.batch_single_backtest(*series(), [tw.BatchSingleItem("ok", e, x), bad(kind, "bad")])
    assert str(err.value) == message


def test_first_failing_item_is_reported():
    e, x = signals(0)
    items = [tw.BatchSingleItem(f"i{k}", e, x) for k in range(7)]
    items[2] = bad("direction", "i2")
    items[5] = bad("exits", "i5")
    with pytest.raises(ValueError, match="^item 'i2': direction"):
        tw.batch_single_backtest(*series(), items)


def test_short_shared_column_is_refused_before_any_run():
    t, o, h, lo, c, v = series()
    e, x = signals(0)
    with pytest.raises(ValueError, match=f"^Data length mismatch: expected {N}, got {N - 2}$"):
        tw.batch_single_backtest(t, o, h[:-2], lo, c, v, [tw.BatchSingleItem("a", e, x)])


def test_items_hold_their_own_copies():
    s = series()
    e, x = signals(4)
    item = tw.BatchSingleItem("a", e, x)
    want = tw.run_single_backtest(*s, e.copy(), x.copy())
    e[:] = True
    x[:] = False
    assert_same(tw.batch_single_backtest(*s, [item])[0][1], want)


def test_item_attributes():
    e, x = signals(0)
    item = tw.BatchSingleItem("a", e, x)
    assert (item.item_id, item.direction, item.weight, item.symbol) == ("a", 1, 1.0, "UNKNOWN")
    item.direction = 2
    item.weight = 5
    assert (item.direction, item.weight) == (2, 5.0) and type(item.weight) is float
    spread = tw.BatchSpreadItem("s1", [np.array([1.0, 2.0])], [("CE", 100.0, 1, 50)], e[:2], x[:2])
    assert (spread.strategy_id, spread.spread_type, spread.max_loss, spread.target_profit) == ("s1", "custom", None,
                                                                                               None)
    spread.max_loss = 5
    assert spread.max_loss == 5.0
    spread.max_loss = None
    assert spread.max_loss is None


# Every worker count gives the same list: run the same batch under two pool sizes in
# fresh interpreters (the pool is sized once per process) and compare the bytes.
SCRIPT = textwrap.dedent("""
    import hashlib, sys
    import numpy as np
    import tarnwick as tw
    rng = np.random.default_rng(11)
    n = 3000
    close = 100.0 * np.cumprod(1.0 + rng.normal(0.0, 0.01, n))
    s = (np.arange(n, dtype=np.int64), close, close * 1.01, close * 0.99, close, np.ones(n))
    cfg = tw.BacktestConfig()
    cfg.set_atr_stop(2.0, 14)
    items = [tw.BatchSingleItem(str(k), rng.random(n) < 0.05, rng.random(n) < 0.05,
                                config=cfg if k % 2 else None) for k in range(24)]
    h = hashlib.sha256()
    for item_id, r in tw.batch_single_backtest(*s, items):
        h.update(item_id.encode())
        for c in (r.equity_curve(), r.returns(), r.drawdown_curve()):
            h.update(c.tobytes())
        for t in r.trades():
            h.update(repr((t.entry_idx, t.exit_idx, t.entry_price, t.exit_price, t.size, t.pnl)).encode())
    print(h.hexdigest())
""")


def test_worker_count_does_not_change_results_or_print():
    digests = outputs_under_worker_counts(SCRIPT)
    assert digests[0] == digests[1] and len(digests[0]) == 64
    # More workers asked for than CPUs: the pool runs on the CPUs the process may use, with
    # the one-worker results and nothing on stderr.
    assert outputs_over_few_cpus(SCRIPT) == (digests[0], "")


def long_batch(seed, n=200_000):
    """A batch that runs long enough for another thread to act while it works."""
    close = 100.0 + np.sin(np.arange(n) / 50.0)
    s = (np.arange(n, dtype=np.int64), close, close + 1.0, close - 1.0, close, np.ones(n))
    rng = np.random.default_rng(seed)
    return s, [tw.BatchSingleItem(str(k), rng.random(n) < 0.02, rng.random(n) < 0.02) for k in range(16)]


def test_other_threads_run_while_the_batch_works():
    s, items = long_batch(5)
    assert ticks_inside(lambda: tw.batch_single_backtest(*s, items)) > 100


def test_items_cannot_change_while_the_batch_reads_them():
    # The batch reads the items in place with the lock released: setters must be refused
    # until it is over, and work again afterwards.
    n = 200_000
    close = 100.0 + np.sin(np.arange(n) / 50.0)
    s = (np.arange(n, dtype=np.int64), close, close + 1.0, close - 1.0, close, np.ones(n))
    rng = np.random.default_rng(6)
    items = [tw.BatchSingleItem(str(k), rng.random(n) < 0.02, rng.random(n) < 0.02) for k in range(16)]
    assert setter_refusals(lambda: tw.batch_single_backtest(*s, items), items[3], "weight", 2.0) == {"Already borrowed"}
    items[3].weight = 3.0
    assert items[3].weight == 3.0
