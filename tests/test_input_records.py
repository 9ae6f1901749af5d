import numpy as np
import pytest

import tarnwick as tw
from tarnwick import BacktestConfig, InstrumentConfig, StopConfig, TargetConfig


@pytest.mark.parametrize(
    "args, text",
    [
        ((), "InstrumentConfig(lot_size=None, alloted_capital=None)"),
        ((25, 50000), "InstrumentConfig(lot_size=Some(25.0), alloted_capital=Some(50000.0))"),
        ((0.5, None, 10, 99), "InstrumentConfig(lot_size=Some(0.5), alloted_capital=None)"),
        ((float("nan"), float("-inf")), "InstrumentConfig(lot_size=Some(NaN), alloted_capital=Some(-inf))"),
    ],
)
def test_instrument_config_repr(args, text):
    assert repr(InstrumentConfig(*args)) == text
    assert str(InstrumentConfig(*args)) == text


def test_instrument_config_face():
    assert InstrumentConfig.__text_signature__ == "(lot_size=None, alloted_capital=None, existing_qty=None, avg_price=None)"
    assert InstrumentConfig.__doc__.startswith("Python-exposed per-instrument configuration.\n\n")
    c = InstrumentConfig(existing_qty=3, avg_price=101.5)
    assert (c.lot_size, c.alloted_capital, c.existing_qty, c.avg_price) == (None, None, 3.0, 101.5)
    c.lot_size = 25
    assert c.lot_size == 25.0 and type(c.lot_size) is float
    c.lot_size = None
    assert c.lot_size is None
    with pytest.raises(AttributeError, match="^can't delete attribute$"):
        del c.avg_price
    with pytest.raises(TypeError, match="^argument 'lot_size': must be real number, not str$"):
        InstrumentConfig("25")
    assert BacktestConfig.set_fixed_stop.__doc__.startswith("Set fixed percentage stop-loss.\n\n")
    assert InstrumentConfig.set_fixed_stop.__doc__.startswith("Set fixed percentage stop-loss override.\n\n")
    assert InstrumentConfig.set_atr_target.__text_signature__ == "($self, multiplier, period)"


def test_instrument_config_overrides_can_be_replaced_not_read():
    c = InstrumentConfig()
    assert c.set_fixed_stop(0.02) is None
    assert c.set_atr_stop(2.0, 14) is None
    assert not hasattr(c, "stop") and not hasattr(c, "target")


def test_rule_constructors():
    stop = lambda s: (s.stop_type, s.percent, s.multiplier, s.period)
    target = lambda t: (t.target_type, t.percent, t.multiplier, t.period, t.ratio)
    assert stop(StopConfig()) == ("none", None, None, None)
    assert stop(StopConfig.atr(2.5, 14)) == ("atr", None, 2.5, 14)
    assert stop(StopConfig.fixed(-3)) == ("fixed", -3.0, None, None) and type(StopConfig.fixed(-3).percent) is float
    assert stop(StopConfig.trailing(percent=0.05)) == ("trailing", 0.05, None, None)
    assert target(TargetConfig()) == ("none", None, None, None, None)
    assert target(TargetConfig.risk_reward(2.0)) == ("risk_reward", None, None, None, 2.0)
    assert target(TargetConfig.atr(3, 0)) == ("atr", None, 3.0, 0, None)
    assert target(TargetConfig.fixed(0.1)) == ("fixed", 0.1, None, None, None)


@pytest.mark.parametrize("cls, names", [
    (StopConfig, ["fixed", "atr", "trailing"]),
    (TargetConfig, ["fixed", "atr", "risk_reward"]),
])
def test_static_constructor_faces(cls, names):
    assert cls.__text_signature__ == "()"
    assert [n for n in vars(cls) if n in {"fixed", "atr", "trailing", "risk_reward"}] == names
    sigs = {"fixed": "(percent)", "atr": "(multiplier, period)", "trailing": "(percent)", "risk_reward": "(ratio)"}
    for n in names:
        assert getattr(cls, n).__text_signature__ == sigs[n]


def test_rule_records_are_writable_without_checks():
    s = StopConfig.atr(2.0, 10)
    s.stop_type = "anything at all"
    s.period = None
    s.percent = 7
    assert (s.stop_type, s.period, s.percent) == ("anything at all", None, 7.0)
    with pytest.raises(AttributeError, match="^can't delete attribute$"):
        del s.stop_type
    t = TargetConfig()
    t.ratio = 1.5
    t.period = 2**64 - 1
    assert (t.ratio, t.period) == (1.5, 2**64 - 1)


def test_records_compare_by_identity():
    assert InstrumentConfig() != InstrumentConfig()
    a = StopConfig()
    assert a == a


# ---------------------------------------------------------------------------
# Stop and target parameters that cannot be meant are refused, and the rule set before
# them stays. What a rule does is seen through a run: one long entered at the close of
# bar 0, no fees, each bar opening at the close before it. On the fall, a 5 % stop sits at
# 95 and a 5 % trailing stop climbs to 95.95 after the high of 101; both are hit on bar 2
# (101 down to 94). On the rise, a 10 % target and a 2 : 1 target over a 5 % stop both sit
# at 110, hit on bar 2 (105 up to 112). ATR rules are seen through the period
# resolve_atr_period reports.

FALL = [100.0, 101.0, 94.0, 94.0]
RISE = [100.0, 105.0, 112.0, 112.0]


def _bars(closes):
    c = np.array(closes)
    o = np.r_[c[0], c[:-1]]
    return np.arange(len(c), dtype=np.int64) * 86_400 * 10**9, o, np.maximum(o, c), np.minimum(o, c), c


def _first_exit(closes, record):
    n = len(closes)
    entries, exits = np.zeros(n, bool), np.zeros(n, bool)
    entries[0] = True
    cols = (*_bars(closes), np.full(n, 1000.0), entries, exits)
    if isinstance(record, BacktestConfig):
        record.fees = 0.0
        result = tw.run_single_backtest(*cols, config=record)
    else:
        result = tw.run_single_backtest(*cols, config=BacktestConfig(fees=0.0), instrument_config=record)
    t = result.trades()[0]
    return t.exit_idx, t.exit_price, t.exit_reason


def _atr_period(record):
    if isinstance(record, BacktestConfig):
        return tw.resolve_atr_period(record, None)
    return tw.resolve_atr_period(None, record)


# setter, the rules set before the refused call, the refused call's other arguments,
# the argument checked, what the rules set before give (computed by hand)
RULES = [
    ("set_fixed_stop", [("set_fixed_stop", 0.05)], (), "percent", lambda r: _first_exit(FALL, r),
     (2, 95.0, "StopLoss")),
    ("set_trailing_stop", [("set_trailing_stop", 0.05)], (), "percent", lambda r: _first_exit(FALL, r),
     (2, 0.95 * 101.0, "StopLoss")),
    ("set_fixed_target", [("set_fixed_target", 0.10)], (), "percent", lambda r: _first_exit(RISE, r),
     (2, (1 + 0.10) * 100.0, "TakeProfit")),
    ("set_risk_reward_target", [("set_fixed_stop", 0.05), ("set_risk_reward_target", 2.0)], (), "ratio",
     lambda r: _first_exit(RISE, r), (2, 110.0, "TakeProfit")),
    ("set_atr_stop", [("set_atr_stop", 2.0, 14)], (20,), "multiplier", _atr_period, 14),
    ("set_atr_target", [("set_atr_target", 2.0, 14)], (20,), "multiplier", _atr_period, 14),
]
NONSENSE = [(0.0, "0"), (-0.05, "-0.05"), (float("nan"), "NaN"), (float("inf"), "inf"), (float("-inf"), "-inf")]


@pytest.mark.parametrize("cls", [BacktestConfig, InstrumentConfig])
@pytest.mark.parametrize("value, shown", NONSENSE, ids=[s for _, s in NONSENSE])
@pytest.mark.parametrize("setter, before, rest, argument, observe, expected", RULES, ids=[r[0] for r in RULES])
def test_rule_setters_refuse_nonsense_and_keep_the_previous_rule(cls, value, shown, setter, before, rest,
                                                                  argument, observe, expected):
    record = cls()
    for name, *args in before:
        getattr(record, name)(*args)
    with pytest.raises(ValueError) as e:
        getattr(record, setter)(value, *rest)
    assert str(e.value) == f"{argument} must be finite and above 0, got {shown}"
    assert observe(record) == expected


@pytest.mark.parametrize("cls", [BacktestConfig, InstrumentConfig])
@pytest.mark.parametrize("setter", ["set_atr_stop", "set_atr_target"])
def test_atr_period_keeps_its_overflow_error_whatever_the_multiplier(cls, setter):
    record = cls()
    getattr(record, setter)(2.0, 14)
    for multiplier in (2.0, -1.0):
        with pytest.raises(OverflowError):
            getattr(record, setter)(multiplier, -1)
    assert _atr_period(record) == 14


# Over 0 bars the ATR is all zeros and the level never moves off the entry: the period is
# refused after the multiplier, and the rule set before stays, whatever its kind.
ATR_BEFORE = [
    ("set_atr_stop", ("set_atr_stop", 2.0, 14), _atr_period, 14),
    ("set_atr_stop", ("set_fixed_stop", 0.05), lambda r: _first_exit(FALL, r), (2, 95.0, "StopLoss")),
    ("set_atr_target", ("set_atr_target", 2.0, 14), _atr_period, 14),
    ("set_atr_target", ("set_fixed_target", 0.10), lambda r: _first_exit(RISE, r),
     (2, (1 + 0.10) * 100.0, "TakeProfit")),
]


@pytest.mark.parametrize("cls", [BacktestConfig, InstrumentConfig])
@pytest.mark.parametrize("setter, before, observe, expected", ATR_BEFORE,
                         ids=[f"{s}_after_{b[0]}" for s, b, _, _ in ATR_BEFORE])
def test_atr_period_of_zero_is_refused_and_keeps_the_previous_rule(cls, setter, before, observe, expected):
    record = cls()
    getattr(record, before[0])(*before[1:])
    with pytest.raises(ValueError) as e:
        getattr(record, setter)(2.0, 0)
    assert str(e.value) == "period must be above 0, got 0"
    with pytest.raises(ValueError) as e:
        getattr(record, setter)(multiplier=-1.0, period=0)
    assert str(e.value) == "multiplier must be finite and above 0, got -1"
    assert observe(record) == expected
    getattr(record, setter)(2.0, 1)
    assert _atr_period(record) == 1


@pytest.mark.parametrize("cls", [BacktestConfig, InstrumentConfig])
def test_a_short_may_use_a_stop_of_100_percent_or_more(cls):
    record = cls()
    record.set_fixed_stop(1.0)  # (1 + 1.0) x 100 = 200 above a short entered at 100
    n = 4
    cols = (*_bars([100.0, 150.0, 210.0, 210.0]), np.full(n, 1000.0), np.array([True, False, False, False]),
            np.zeros(n, bool))
    config, instrument = (record, None) if cls is BacktestConfig else (BacktestConfig(), record)
    config.fees = 0.0
    (t,) = tw.run_single_backtest(*cols, direction=-1, config=config, instrument_config=instrument).trades()
    # Bar 2 rises from 150 through the stop to 210.
    assert (t.exit_idx, t.exit_price, t.exit_reason) == (2, 200.0, "StopLoss")
