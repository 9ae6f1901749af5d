import pytest

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
