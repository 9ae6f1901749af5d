import inspect

import numpy as np
import pytest

import tarnwick as tw
from portfolio_models import diagonal_model

NAMES = ["risk_aversion", "turnover_penalty", "position_cap", "sector_ids", "sector_caps", "no_trade_band",
         "min_trade_value", "portfolio_value", "cash_max", "max_iter", "tolerance", "short_cap", "gross_max",
         "net_min", "net_max"]


def make():
    return tw.OptimizerConfig(2.0, 0.001, 0.3, [0, 1, 1], [0.5, 0.7])


def test_constructor_defaults():
    assert list(inspect.signature(tw.OptimizerConfig).parameters) == NAMES
    c = make()
    assert [getattr(c, n) for n in NAMES] == [2.0, 0.001, 0.3, [0, 1, 1], [0.5, 0.7], 0.0, 0.0, 0.0, 0.0, 200, 1e-8,
                                              0.0, 1.0, 0.0, 1.0]
    assert type(c.max_iter) is int and type(c.no_trade_band) is float
    # Nothing is checked until a book is optimised.
    assert tw.OptimizerConfig(-1.0, -1.0, 5.0, [9], []).risk_aversion == -1.0


@pytest.mark.parametrize("name, value, stored", [
    ("sector_ids", (1, 2), [1, 2]),
    ("sector_caps", np.array([0.25, 1.5]), [0.25, 1.5]),
    ("max_iter", 4294967295, 4294967295),
    ("risk_aversion", -3, -3.0),
])
def test_setters_store_converted_values(name, value, stored):
    c = make()
    setattr(c, name, value)
    assert getattr(c, name) == stored


@pytest.mark.parametrize("name, value, error, text", [
    # The conversions are the call-entry tests'; a refused one leaves the field as it was.
    ("sector_caps", [0.5, None], TypeError, None),
    ("max_iter", 4294967296, OverflowError, "out of range integral type conversion attempted"),
])
def test_failed_assignment_keeps_the_old_value(name, value, error, text):
    c = make()
    before = getattr(c, name)
    with pytest.raises(error) as e:
        setattr(c, name, value)
    assert text is None or str(e.value) == text
    assert getattr(c, name) == before


def interpreter_overflow_text(value):
    """The interpreter's own refusal of `value` as a signed 64-bit integer."""
    with pytest.raises(OverflowError) as e:
        tw.KernelSession().step(0, value, 1.0, 1.0, 1.0, 1.0, 1.0)
    return str(e.value)


NARROW = "out of range integral type conversion attempted"


@pytest.mark.parametrize("value, beyond_64_bits", [
    (2**70, True),
    (2**64, True),
    (2**63, True),
    (-(2**63) - 1, True),
    (-(2**70), True),
    (2**63 - 1, False),
    (2**32, False),
    (-1, False),
    (-(2**63), False),
])
def test_max_iter_overflow_names_the_kind_of_overflow(value, beyond_64_bits):
    text = NARROW
    if beyond_64_bits:
        text = interpreter_overflow_text(value)
        assert text != NARROW
    c = make()
    with pytest.raises(OverflowError) as e:
        c.max_iter = value
    assert str(e.value) == text
    assert c.max_iter == 200
    with pytest.raises(OverflowError) as e:
        tw.OptimizerConfig(2.0, 0.001, 0.3, [], [], max_iter=value)
    assert str(e.value) == text


def test_attributes_cannot_be_deleted_and_lists_are_copies():
    c = make()
    for name in NAMES:
        with pytest.raises(AttributeError, match="can't delete attribute"):
            delattr(c, name)
    c.sector_ids.append(5)
    assert c.sector_ids == [0, 1, 1]


def test_results_hand_out_fresh_copies_and_cannot_be_built():
    model, ids = diagonal_model([1e-4, 2e-4])
    r = tw.optimize_portfolio(model, np.array([0.001, 0.0005]), np.zeros(2), ids,
                              tw.OptimizerConfig(10.0, 0.0, 1.0, [0, 0], [1.0]))
    first = r.weights()
    first[:] = 7.0
    assert np.all(r.weights() < 1.0)
    r.snapped.append(True)
    assert r.snapped == [False, False]
    with pytest.raises(AttributeError):
        r.cash = 0.5
    for cls in (tw.OptimizationResult, tw.RiskContributions, tw.RiskModel):
        with pytest.raises(TypeError, match="No constructor defined"):
            cls()
