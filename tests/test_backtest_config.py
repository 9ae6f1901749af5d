import pathlib
import re

import numpy as np
import pytest

import tarnwick as tw
from tarnwick import BacktestConfig

SIGNATURE = (
    "(initial_capital=100000.0, fees=0.001, slippage=0.0, upon_bar_close=True, apply_slippage=True, "
    "periods_per_year=None, risk_free_rate=0.0, session_minutes=None, fee_segment=None, max_positions=None, "
    "max_drawdown_pct=None, legacy_annualization=False, fill_prob_limit=1.0, fill_prob_slippage=0.0, "
    "fill_seed=0, bar_path_adaptive=False, queue_fill_model=False, partial_fills=False, order_latency_ns=0, "
    "session_tz_offset_ns=0, limit_slippage=0.0, liquidate_on_margin_call=False, squareoff_time=None, "
    "fill_timing=None)"
)

# Attribute order differs from the positional order around fill_seed and the two flags after it.
DEFAULTS = dict(
    initial_capital=100000.0, fees=0.001, slippage=0.0, upon_bar_close=True, apply_slippage=True,
    periods_per_year=None, risk_free_rate=0.0, session_minutes=None, fee_segment=None, max_positions=None,
    max_drawdown_pct=None, legacy_annualization=False, fill_prob_limit=1.0, fill_prob_slippage=0.0,
    queue_fill_model=False, partial_fills=False, order_latency_ns=0, session_tz_offset_ns=0,
    squareoff_time_minutes=None, limit_slippage=0.0, liquidate_on_margin_call=False, fill_seed=0,
    bar_path_adaptive=False,
)
PARAMS = re.findall(r"(\w+)=", SIGNATURE)


def test_class_face():
    assert repr(BacktestConfig) == "<class 'builtins.BacktestConfig'>"
    assert BacktestConfig.__doc__.startswith("Python-exposed backtest configuration.\n\n")
    assert BacktestConfig.__text_signature__ == SIGNATURE


def test_defaults_and_attribute_order():
    c = BacktestConfig()
    for name, value in DEFAULTS.items():
        got = getattr(c, name)
        assert got == value and type(got) is type(value), name
    assert c.fill_timing is None
    attrs = [n for n in vars(BacktestConfig) if not n.startswith("_") and not n.startswith("set_")]
    assert attrs == list(DEFAULTS) + ["fill_timing"]


def test_every_parameter_by_position():
    values = [
        5e5, 0.002, 0.01, False, False, 252.0, 0.05, 375.0, "NSE", 3, 20.0, True, 0.5, 0.25, 7, True, True,
        True, 1000, -19800, 0.001, True, "15:25", "next_bar_open",
    ]
    c = BacktestConfig(*values)
    for name, value in zip(PARAMS[:-2], values):
        assert getattr(c, name) == value, name
    assert c.squareoff_time_minutes == 15 * 60 + 25
    assert c.fill_timing == "next_bar_open"


@pytest.mark.parametrize(
    "text, minutes",
    [("15:25", 925), (" 9:5 ", 545), ("+09:+30", 570), ("0:0", 0), ("23:59", 1439), ("\u00a009:15\u3000", 555)],
)
def test_squareoff_accepted(text, minutes):
    assert BacktestConfig(squareoff_time=text).squareoff_time_minutes == minutes


@pytest.mark.parametrize(
    "text, shown",
    [(t, f'"{t}"') for t in ["24:00", "9:60", "09:30:00", "0930", "", ":30", "-1:00", "9 : 3 0", "++9:00",
                             "4294967296:00"]]
    + [('1"\\\t\n:x', '"1\\"\\\\\\t\\n:x"')],
)
def test_squareoff_refused_with_the_text_as_given(text, shown):
    with pytest.raises(ValueError) as e:
        BacktestConfig(squareoff_time=text)
    assert str(e.value) == (
        f'invalid squareoff_time {shown}; expected 24-hour "HH:MM" local time, e.g. "15:25" for NSE. '
        "Pass None to disable squareoff."
    )


@pytest.mark.parametrize(
    "text, stored",
    [("same_bar_close", "same_bar_close"), ("  next_bar_open\t", "next_bar_open"),
     ("same_bar_open_lookahead", "same_bar_open_lookahead")],
)
def test_fill_timing_accepted(text, stored):
    assert BacktestConfig(fill_timing=text).fill_timing == stored


@pytest.mark.parametrize("text", ["Next_Bar_Open", "next-bar-open", ""])
def test_fill_timing_refused(text):
    with pytest.raises(ValueError) as e:
        BacktestConfig(fill_timing=text)
    assert str(e.value) == (
        f'invalid fill_timing "{text}"; expected "same_bar_close", "next_bar_open", or '
        '"same_bar_open_lookahead" (the pre-0.11 look-ahead, for reproducing old results only)'
    )


def test_squareoff_error_wins_when_both_texts_are_bad():
    with pytest.raises(ValueError, match="squareoff_time"):
        BacktestConfig(squareoff_time="x", fill_timing="y")


@pytest.mark.parametrize(
    "kwargs, exc, message",
    [
        ({"upon_bar_close": np.bool_(True)}, TypeError, "argument 'upon_bar_close': 'bool' object cannot be converted to 'PyBool'"),
        ({"initial_capital": None}, TypeError, "argument 'initial_capital': "),
        ({"fill_seed": 2**64}, OverflowError, None),
        ({"foo": 1}, TypeError, "BacktestConfig.__new__() got an unexpected keyword argument 'foo'"),
    ],
)
def test_constructor_refusals(kwargs, exc, message):
    with pytest.raises(exc) as e:
        BacktestConfig(**kwargs)
    assert type(e.value) is exc
    if message is not None:
        assert str(e.value).startswith(message)
    if exc is OverflowError:
        assert "argument" not in str(e.value)


def test_numbers_accept_ints_and_numpy_scalars():
    c = BacktestConfig(fees=0, initial_capital=np.float32(2.5), max_positions=np.int64(4), fill_seed=True)
    assert c.fees == 0.0 and type(c.fees) is float
    assert c.initial_capital == 2.5
    assert c.max_positions == 4 and c.fill_seed == 1


def test_fields_other_than_the_money_fields_are_stored_as_given():
    c = BacktestConfig(risk_free_rate=-5.0, fill_prob_limit=7.0, max_drawdown_pct=-1.0)
    assert c.risk_free_rate == -5.0 and c.fill_prob_limit == 7.0 and c.max_drawdown_pct == -1.0


def test_attribute_writes_convert_or_leave_the_value():
    c = BacktestConfig()
    c.fees = 0
    assert c.fees == 0.0 and type(c.fees) is float
    c.max_positions = 3
    c.max_positions = None
    assert c.max_positions is None
    with pytest.raises(TypeError) as e:
        c.fees = "a"
    assert str(e.value) == "must be real number, not str"
    assert c.fees == 0.0
    with pytest.raises(TypeError):
        c.apply_slippage = 0
    assert c.apply_slippage is True
    with pytest.raises(OverflowError):
        c.fill_seed = -1
    assert c.fill_seed == 0


@pytest.mark.parametrize("name", [n for n in DEFAULTS if n != "squareoff_time_minutes"])
def test_deleting_a_writable_attribute(name):
    c = BacktestConfig()
    before = getattr(c, name)
    with pytest.raises(AttributeError) as e:
        delattr(c, name)
    assert str(e.value) == "can't delete attribute"
    assert getattr(c, name) == before


@pytest.mark.parametrize("name", ["squareoff_time_minutes", "fill_timing"])
def test_read_only_attributes(name):
    c = BacktestConfig(squareoff_time="10:00", fill_timing="same_bar_close")
    with pytest.raises(AttributeError):
        setattr(c, name, None)
    with pytest.raises(AttributeError):
        delattr(c, name)


def test_rule_methods_signatures_and_conversion():
    c = BacktestConfig()
    assert c.set_atr_stop.__text_signature__ == "($self, multiplier, period)"
    assert BacktestConfig.set_risk_reward_target.__doc__.startswith("Set risk-reward based take-profit.\n\n")
    for call in (lambda: c.set_fixed_stop(1.0), lambda: c.set_atr_stop(2, 1), lambda: c.set_trailing_stop(0.05),
                 lambda: c.set_fixed_target(0.1), lambda: c.set_atr_target(3.0, 14),
                 lambda: c.set_risk_reward_target(ratio=2.0)):
        assert call() is None
    with pytest.raises(TypeError, match="^argument 'period': "):
        c.set_atr_target(2.0, 1.5)
    assert not hasattr(c, "stop") and not hasattr(c, "target")


class _ReadsConfig:
    def __init__(self, config):
        self.config = config

    def __float__(self):
        return self.config.fees


class _WritesConfig:
    def __init__(self, config):
        self.config = config

    def __float__(self):
        self.config.fees = 0.5
        return 1.0


def test_reentrant_use_during_a_method_is_refused():
    c = BacktestConfig()
    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        c.set_fixed_stop(_ReadsConfig(c))
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        c.set_fixed_target(_WritesConfig(c))
    # The borrow is given back on the error path.
    c.fees = 0.25
    assert c.fees == 0.25


def test_setter_converts_before_taking_the_object():
    c = BacktestConfig()
    c.initial_capital = _WritesConfig(c)
    assert c.initial_capital == 1.0 and c.fees == 0.5


NAN, INF = float("nan"), float("inf")

# Values that would make nonsense money, each with the message naming field and value.
MONEY_REFUSALS = [
    ("initial_capital", 0.0, "initial_capital must be finite and above 0, got 0"),
    ("initial_capital", -5.0, "initial_capital must be finite and above 0, got -5"),
    ("initial_capital", NAN, "initial_capital must be finite and above 0, got NaN"),
    ("initial_capital", INF, "initial_capital must be finite and above 0, got inf"),
    ("fees", NAN, "fees must be finite and between -1 and 1, got NaN"),
    ("fees", INF, "fees must be finite and between -1 and 1, got inf"),
    ("fees", -1.0, "fees must be finite and between -1 and 1, got -1"),
    # A fee of the whole traded value or more (5.0 meant as 5 %) would drain a cash account.
    ("fees", 1.0, "fees must be finite and between -1 and 1, got 1"),
    ("fees", 5.0, "fees must be finite and between -1 and 1, got 5"),
    ("slippage", NAN, "slippage must be finite and within (-1, 1), got NaN"),
    ("slippage", 1.0, "slippage must be finite and within (-1, 1), got 1"),
    ("slippage", -1.0, "slippage must be finite and within (-1, 1), got -1"),
    ("limit_slippage", -INF, "limit_slippage must be finite and within (-1, 1), got -inf"),
    ("limit_slippage", 2.5, "limit_slippage must be finite and within (-1, 1), got 2.5"),
    ("fill_prob_slippage", NAN, "fill_prob_slippage must be a probability in [0, 1], got NaN"),
    ("fill_prob_slippage", 1.5, "fill_prob_slippage must be a probability in [0, 1], got 1.5"),
    ("fill_prob_slippage", -0.1, "fill_prob_slippage must be a probability in [0, 1], got -0.1"),
]


@pytest.mark.parametrize("field, value, message", MONEY_REFUSALS)
def test_money_fields_refuse_nonsense_in_the_constructor_and_the_setter(field, value, message):
    with pytest.raises(ValueError) as e:
        BacktestConfig(**{field: value})
    assert str(e.value) == message
    c = BacktestConfig()
    before = getattr(c, field)
    with pytest.raises(ValueError) as e:
        setattr(c, field, value)
    assert str(e.value) == message
    assert getattr(c, field) == before


@pytest.mark.parametrize("field, value", [
    ("initial_capital", 1e-9),
    ("fees", -0.0005),  # a rebate
    ("fees", 0.999), ("slippage", -0.999), ("limit_slippage", 0.5),
    ("fill_prob_slippage", 0.0), ("fill_prob_slippage", 1.0),
])
def test_money_fields_keep_values_that_make_sense(field, value):
    assert getattr(BacktestConfig(**{field: value}), field) == value
    c = BacktestConfig()
    setattr(c, field, value)
    assert getattr(c, field) == value


@pytest.mark.parametrize("field, value, message",
                         [m for m in MONEY_REFUSALS if m[0] in ("initial_capital", "fees", "slippage")])
def test_tick_runner_refuses_the_same_capital_fees_and_slippage(field, value, message):
    n = 3
    ltp = np.array([100.0, 101.0, 102.0])
    args = [np.arange(n, dtype=np.int64), ltp, ltp - 0.5, ltp + 0.5, np.zeros(n), np.zeros(n), np.zeros(n),
            np.zeros(n, dtype=bool), np.zeros(n, dtype=bool)]
    with pytest.raises(ValueError) as e:
        tw.run_tick_backtest(*args, **{field: value})
    assert str(e.value) == message


# ---------------------------------------------------------------------------
# fee_segment takes exchange texts, the analytics take segment names: both the attribute's
# docstring and the README pair them up. Each pair is checked against a run: the exchange
# text must charge the schedule the analytics show for its segment (the exchange charge on
# both legs, the stamp duty on the buy), and the segment name given as fee_segment must
# fall back to the flat fee.

SEGMENTS = {"equity_intraday", "equity_delivery", "futures_nfo", "options_nfo", "futures_mcx", "options_mcx",
            "futures_cds", "options_cds"}


def _pairs(lines):
    rows = []
    for line in lines:
        quoted = re.findall(r'"([^"]+)"', line)
        if len(quoted) >= 2 and quoted[-1] in SEGMENTS:
            rows.append((quoted[:-1], quoted[-1]))
    return rows


def _documented_pairs(where):
    if where == "docstring":
        return _pairs(BacktestConfig.fee_segment.__doc__.splitlines())
    readme = pathlib.Path(__file__).resolve().parent.parent / "README.md"
    return _pairs(line for line in readme.read_text().splitlines() if line.startswith("|"))


def _round_trip(fee_segment):
    n = 3
    c = np.array([100.0, 110.0, 110.0])
    r = tw.run_single_backtest(np.arange(n, dtype=np.int64) * 86_400 * 10**9, c, c, c, c, np.ones(n),
                               np.array([True, False, False]), np.array([False, True, False]),
                               config=BacktestConfig(initial_capital=1e6, fee_segment=fee_segment))
    (t,) = r.trades()
    return t


@pytest.mark.parametrize("where", ["docstring", "README"])
def test_fee_segment_texts_are_paired_with_the_segments_they_charge(where):
    pairs = _documented_pairs(where)
    assert sorted(segment for _, segment in pairs) == sorted(SEGMENTS)
    for texts, segment in pairs:
        rates = tw.indian_cost_schedule(segment)
        for text in texts:
            t = _round_trip(text)
            bought, sold = t.size * t.entry_price, t.size * t.exit_price
            assert t.fee_breakdown["exchange_txn"] == pytest.approx((bought + sold) * rates["exchange_txn_rate"],
                                                                    rel=1e-12), text
            assert t.fee_breakdown["stamp_duty"] == pytest.approx(bought * rates["stamp_duty_rate"], rel=1e-12), text
        flat = _round_trip(segment)
        assert flat.fee_breakdown is None
        assert flat.fees == pytest.approx(0.001 * flat.size * (flat.entry_price + flat.exit_price), rel=1e-12)
