import pytest

from tarnwick import BacktestConfig, InstrumentConfig, resolve_atr_period


def config(*calls):
    c = BacktestConfig()
    for name, *args in calls:
        getattr(c, name)(*args)
    return c


def instrument(*calls):
    c = InstrumentConfig()
    for name, *args in calls:
        getattr(c, name)(*args)
    return c


@pytest.mark.parametrize(
    "cfg, inst, expected",
    # The precedence table is the driver's tests'; these rows carry each argument's rules across.
    [
        (None, None, None),
        (config(("set_atr_stop", 2.0, 14)), instrument(("set_trailing_stop", 1.5)), None),
        (config(("set_atr_stop", 2.0, 14)), instrument(("set_atr_stop", 1.0, 10)), 10),
        (None, instrument(("set_atr_target", 1.0, 30)), 30),
        (config(("set_atr_target", 2.0, 1)), None, 1),
    ],
)
def test_resolution(cfg, inst, expected):
    assert resolve_atr_period(cfg, inst) == expected
    assert resolve_atr_period(config=cfg, instrument_config=inst) == expected


def test_face_and_argument_errors():
    assert resolve_atr_period() is None
    assert resolve_atr_period.__text_signature__ == "(config=None, instrument_config=None)"
    assert resolve_atr_period.__doc__.startswith("Resolve the ATR period a backtest would use")
    with pytest.raises(TypeError) as e:
        resolve_atr_period(InstrumentConfig())
    assert str(e.value) == "argument 'config': 'InstrumentConfig' object cannot be converted to 'BacktestConfig'"
