"""The Indian cost schedule export."""

import pytest

from tarnwick import _tarnwick as tw

# (flat, rate, stt, exchange, stamp) per segment, as published for each market.
RATES = {
    "equity_intraday": (20.0, 0.0003, 0.00025, 3.07e-05, 3e-05),
    "equity_delivery": (0.0, 0.0, 0.001, 3.07e-05, 0.00015),
    "futures_nfo": (20.0, 0.0003, 0.0005, 1.83e-05, 2e-05),
    "options_nfo": (20.0, 0.0, 0.0015, 0.0003553, 3e-05),
    "futures_mcx": (20.0, 0.0003, 0.0001, 2.1e-05, 2e-05),
    "options_mcx": (20.0, 0.0, 0.0005, 0.000418, 3e-05),
    "futures_cds": (20.0, 0.0003, 0.0, 3.5e-06, 1e-06),
    "options_cds": (20.0, 0.0, 0.0, 0.000311, 1e-06),
}


@pytest.mark.parametrize("segment", sorted(RATES))
def test_every_segment_exports_its_rates(segment):
    got = tw.indian_cost_schedule(segment)
    flat, rate, stt, exchange, stamp = RATES[segment]
    assert got == {"brokerage_flat": flat, "brokerage_rate": rate, "stt_rate": stt, "exchange_txn_rate": exchange,
                   "sebi_turnover_rate": 1e-06, "stamp_duty_rate": stamp, "gst_rate": 0.18,
                   "dp_sell_charge_per_isin_per_day": 15.34}
    assert all(type(v) is float for v in got.values())


def test_unknown_segment():
    # The full wording is the segment parser's test; here the exception type and that the
    # text arrives unwrapped.
    with pytest.raises(ValueError, match="^unknown segment 'nse'; expected one of equity_delivery, .*, options_cds$"):
        tw.indian_cost_schedule("NSE")


def test_fresh_dict_per_call():
    a = tw.indian_cost_schedule("futures_nfo")
    a["gst_rate"] = 0.0
    assert tw.indian_cost_schedule("futures_nfo")["gst_rate"] == 0.18
