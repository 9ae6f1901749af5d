import pytest

from tarnwick import InstrumentSpec as S

DAY = 86_400_000_000_000


def test_no_constructor_and_docstrings():
    with pytest.raises(TypeError, match="^No constructor defined$"):
        S()
    assert S.__doc__ == "Python-exposed instrument market definition."
    assert [n for n in vars(S) if n in {"equity", "futures_contract", "perpetual", "option", "currency_pair", "index"}] == [
        "equity", "futures_contract", "perpetual", "option", "currency_pair", "index"]
    assert S.futures_contract.__text_signature__ == (
        "(symbol, expiration_ns, lot_size, multiplier=1.0, price_increment=0.0, underlying=None, "
        "activation_ns=None, margin_init=0.0, margin_maint=0.0, maker_fee=0.0, taker_fee=0.0)")
    assert S.option.__doc__.startswith("A vanilla or binary option contract.\n\n`span_pct` and `exposure_pct`")
    assert S.kind.__doc__.startswith("Instrument family:")
    assert S.right.__doc__.endswith("for options, None otherwise.")


@pytest.mark.parametrize(
    "spec, text",
    [
        (lambda: S.equity("RELIANCE"), "InstrumentSpec(symbol=RELIANCE, kind=cash, lot_size=1, multiplier=1)"),
        (lambda: S.equity("X", lot_size=0.5), "InstrumentSpec(symbol=X, kind=cash, lot_size=0.5, multiplier=1)"),
        (lambda: S.perpetual("BTC", multiplier=1e-7),
         "InstrumentSpec(symbol=BTC, kind=contract, lot_size=1, multiplier=0.0000001)"),
        (lambda: S.futures_contract("NIFTY", DAY, 50), "InstrumentSpec(symbol=NIFTY, kind=contract, lot_size=50, multiplier=1)"),
        (lambda: S.index("NIFTY 50"), "InstrumentSpec(symbol=NIFTY 50, kind=index, lot_size=1, multiplier=1)"),
        (lambda: S.currency_pair("USDINR", lot_size=1000), "InstrumentSpec(symbol=USDINR, kind=currency_pair, lot_size=1000, multiplier=1)"),
    ],
)
def test_repr(spec, text):
    assert repr(spec()) == text


@pytest.mark.parametrize(
    "build, message",
    [
        # One row per factory, so every keyword reaches its field; the check order is the engine's.
        (lambda: S.equity("X", price_increment=-0.05), "increments and lot_size must be >= 0"),
        (lambda: S.perpetual("X", multiplier=0), "multiplier must be > 0"),
        (lambda: S.futures_contract("F", 100, 1, activation_ns=100), "expiration_ns must be after activation_ns"),
        (lambda: S.option("O", 0, "call", DAY, 1, span_pct=-0.1), "span_pct and exposure_pct must be >= 0"),
        (lambda: S.index("I", -0.05), "price_increment must be >= 0"),
    ],
)
def test_validation_messages_in_check_order(build, message):
    with pytest.raises(ValueError) as e:
        build()
    assert str(e.value) == message


def test_optional_fields_convert_to_python_values():
    # Which fields each family carries is the engine tests'; here, their Python shapes.
    o = S.option("O", 100.0, "PE", DAY, 25, underlying="NIFTY")
    assert (o.right, o.kind, o.strike, o.underlying, o.expiration_ns) == ("put", "option", 100.0, "NIFTY", DAY)
    assert S.futures_contract("F", 100, 1, activation_ns=99).activation_ns == 99
    i = S.index("NIFTY")
    assert i.tradable is False and S.equity("E").tradable is True
    assert (i.strike, i.right, i.underlying, i.activation_ns, i.expiration_ns) == (None,) * 5
    assert (i.lot_size, i.multiplier, i.margin_init, i.settlement_fee) == (1.0, 1.0, 0.0, 0.0)


def test_writable_and_read_only_attributes():
    f = S.futures_contract("F", 100, 1, activation_ns=50)
    f.expiration_ns = None
    assert f.expiration_ns is None
    f.expiration_ns = 10  # below activation: stored unchecked
    assert f.expiration_ns == 10
    f.settlement_fee = -0.5
    assert f.settlement_fee == -0.5
    with pytest.raises(AttributeError, match="^can't delete attribute$"):
        del f.settlement_fee
    with pytest.raises(AttributeError):
        f.lot_size = 2.0
