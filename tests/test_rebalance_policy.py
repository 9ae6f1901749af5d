"""Rebalance-policy simulation with per-leg Indian costs."""

import math

import numpy as np
import pytest

from tarnwick import _tarnwick as tw

DP = 15.34


def leg_costs(segment, v, buy):
    s = tw.indian_cost_schedule(segment)
    rate, flat = s["brokerage_rate"], s["brokerage_flat"]
    brokerage = min(rate * v, flat) if rate > 0 else flat
    tax = s["stt_rate"] * v if (not buy or segment == "equity_delivery") else 0.0
    exchange = s["exchange_txn_rate"] * v
    sebi = 1e-06 * v
    stamp = s["stamp_duty_rate"] * v if buy else 0.0
    gst = 0.18 * (brokerage + exchange + sebi)
    return brokerage, ((((tax + brokerage) + exchange) + sebi) + stamp) + gst


def reference(prices, targets, capital, policy, param, segment="equity_delivery", min_trade_value=0.0,
              dp_charge_per_isin=DP, periods_per_year=252.0):
    min_trade, dp, ppy = min_trade_value, dp_charge_per_isin, periods_per_year
    rows, cols = prices.shape
    holdings = np.zeros(cols)
    cash = capital
    out = {k: np.zeros(rows) for k in ("equity", "turnover", "reg", "brk", "dp")}
    total = 0.0
    n_reb = n_trades = 0
    for t in range(rows):
        px, tw_ = prices[t], targets[t]
        equity = sum(holdings[i] * px[i] for i in range(cols)) + cash
        if policy == "calendar":
            go = t % int(param) == 0
        else:
            drift = sum(abs(holdings[i] * px[i] / equity - tw_[i]) for i in range(cols))
            go = t == 0 or 0.5 * drift > param
        if go:
            brk = reg = traded = 0.0
            sells = legs = 0
            for i in range(cols):
                dv = tw_[i] * equity - holdings[i] * px[i]
                if dv == 0 or abs(dv) < min_trade:
                    continue
                b, total_leg = leg_costs(segment, abs(dv), dv > 0)
                holdings[i] += dv / px[i]
                cash = cash - dv - total_leg
                brk += b
                reg += total_leg - b
                traded += abs(dv)
                sells += dv < 0
                legs += 1
            n_trades += legs
            if legs:
                out["dp"][t] = sells * dp
                cash -= out["dp"][t]
                out["reg"][t], out["brk"][t] = reg, brk
                out["turnover"][t] = traded / equity * 0.5
                total += reg + brk + out["dp"][t]
                n_reb += 1
        out["equity"][t] = sum(holdings[i] * px[i] for i in range(cols)) + cash
    drag = total / (out["equity"].sum() / rows) / (rows / ppy)
    return out, n_reb, n_trades, drag


def check_against_reference(result, prices, targets, capital, policy, param, **kw):
    out, n_reb, n_trades, drag = reference(prices, targets, capital, policy, param, **kw)
    np.testing.assert_allclose(result.equity_curve(), out["equity"], rtol=1e-12)
    np.testing.assert_allclose(result.turnover(), out["turnover"], rtol=1e-12, atol=1e-15)
    np.testing.assert_allclose(result.cost_regulatory(), out["reg"], rtol=1e-12, atol=1e-12)
    np.testing.assert_allclose(result.cost_brokerage(), out["brk"], rtol=1e-12, atol=1e-12)
    np.testing.assert_allclose(result.cost_dp(), out["dp"], rtol=0, atol=0)
    assert result.n_rebalances == n_reb
    assert result.n_trades == n_trades
    assert result.total_cost_drag_annualized == pytest.approx(drag, rel=1e-10)


def random_book(seed, rows=40, cols=5):
    rng = np.random.default_rng(seed)
    prices = 100 * np.exp(rng.normal(0, 0.02, size=(rows, cols)).cumsum(axis=0))
    targets = rng.random((rows, cols))
    targets = targets / targets.sum(axis=1, keepdims=True) * 0.95
    targets[rng.random((rows, cols)) < 0.15] = 0.0
    return prices, targets


@pytest.mark.parametrize(
    "seed, policy, param, kw",
    [
        (1, "calendar", 1.0, {}),
        (2, "calendar", 5.0, {"segment": "equity_intraday"}),
        (3, "band", 0.05, {"segment": "futures_nfo", "min_trade_value": 500.0}),
        (4, "band", 0.02, {"segment": "options_mcx", "dp_charge_per_isin": 0.0}),
        (5, "calendar", 3.0, {"segment": "futures_cds", "periods_per_year": 52.0}),
    ],
)
def test_matches_a_direct_replay(seed, policy, param, kw):
    prices, targets = random_book(seed)
    r = tw.simulate_rebalance_policy(prices, targets, 1_000_000.0, policy, param, **kw)
    check_against_reference(r, prices, targets, 1_000_000.0, policy, param, **kw)


def test_first_date_buy_on_equity_delivery_by_hand():
    r = tw.simulate_rebalance_policy(np.array([[100.0]]), np.array([[1.0]]), 1000.0, "band", 0.5)
    # v = 1000: tax 1.0, exchange 0.0307, SEBI 0.001, stamp 0.15, GST 0.18 * 0.0317 = 0.005706
    regulatory = 1.0 + 0.0307 + 0.001 + 0.15 + 0.005706
    assert r.cost_regulatory()[0] == pytest.approx(regulatory, rel=1e-12)
    assert r.cost_brokerage()[0] == 0.0 and r.cost_dp()[0] == 0.0
    assert r.turnover()[0] == 0.5
    assert r.equity_curve()[0] == pytest.approx(1000.0 - regulatory, rel=1e-14)
    assert (r.n_rebalances, r.n_trades) == (1, 1)
    # one date, 252 per year: drag = cost / equity * 252
    assert r.total_cost_drag_annualized == pytest.approx(regulatory / (1000.0 - regulatory) * 252, rel=1e-12)


def test_calendar_dates():
    prices = np.full((12, 2), 50.0) * np.linspace(1, 2, 12)[:, None] * np.array([1.0, 1.3]) ** np.arange(12)[:, None]
    targets = np.full((12, 2), 0.5)
    r = tw.simulate_rebalance_policy(prices, targets, 1e6, "Calendar", 5.0, segment="futures_nfo")
    assert list(np.nonzero(r.turnover())[0]) == [0, 5, 10]
    assert r.n_rebalances == 3


def test_band_threshold_is_strict():
    prices = np.array([[100.0, 100.0], [150.0, 100.0], [150.0, 100.0]])
    targets = np.full((3, 2), 0.5)
    # Date 0 buys 5000 units of each (dv = 0.5 x 1e6, twice); cash pays both legs.
    _, leg = leg_costs("equity_delivery", 500_000.0, True)
    cash = ((1e6 - 500_000.0) - leg - 500_000.0) - leg
    equity1 = (0.0 + 5000.0 * 150.0 + 5000.0 * 100.0) + cash
    half = 0.5 * ((0.0 + abs(750_000.0 / equity1 - 0.5)) + abs(500_000.0 / equity1 - 0.5))
    at = tw.simulate_rebalance_policy(prices, targets, 1e6, "band", half)
    below = tw.simulate_rebalance_policy(prices, targets, 1e6, "band", float(np.nextafter(half, 0)))
    assert at.turnover()[1] == 0.0 and at.n_rebalances == 1
    assert below.turnover()[1] > 0.0 and below.n_rebalances == 2


def test_selected_date_below_minimum_leaves_no_trace():
    prices = np.array([[100.0, 100.0], [100.0, 101.0]])
    targets = np.full((2, 2), 0.5)
    r = tw.simulate_rebalance_policy(prices, targets, 10_000.0, "calendar", 1, min_trade_value=1000.0)
    assert r.turnover()[1] == 0.0 and r.cost_regulatory()[1] == 0.0 and r.cost_dp()[1] == 0.0
    assert r.n_rebalances == 1


def test_dp_charge_per_sold_asset_and_full_liquidation():
    prices = np.array([[100.0, 50.0, 10.0], [110.0, 40.0, 10.0]])
    targets = np.array([[0.3, 0.3, 0.3], [0.0, 0.0, 0.9]])
    r = tw.simulate_rebalance_policy(prices, targets, 1e5, "calendar", 1)
    assert r.cost_dp()[0] == 0.0
    assert r.cost_dp()[1] == 2 * 15.34


# Weights may overshoot a sum of 1 by 1e-9 and dip below 0 by 1e-12; the sum is reported to six places.
@pytest.mark.parametrize("row, message", [
    ([0.50000000025, 0.50000000025], None),
    ([0.500000005, 0.500000005], r"sum 1\.000000\)$"),
    ([0.5, -1e-13], None),
    ([0.5, -1e-11], r"sum 0\.500000\)$"),
])
def test_weight_tolerances(row, message):
    args = (np.array([[10.0, 10.0]]), np.array([row]), 1e5, "calendar", 1)
    if message is None:
        tw.simulate_rebalance_policy(*args)
    else:
        with pytest.raises(ValueError, match=r"^degenerate input: target weights on date 0 must be long-only and "
                                             r"sum <= 1 \(" + message):
            tw.simulate_rebalance_policy(*args)


P = np.array([[10.0, 20.0], [11.0, 21.0]])
W = np.array([[0.5, 0.5], [0.5, 0.5]])


@pytest.mark.parametrize(
    "args, kw, text",
    [
        ((P, W[:1], 1e5, "calendar", 1), {}, "target_weights shape 1x2 differs from prices shape 2x2"),
        ((P, W, 1e5, "weekly", 1), {}, "unknown policy 'weekly'; expected 'calendar' or 'band'"),
        ((P, W, 1e5, "WEEKLY", 1), {}, "unknown policy 'weekly'; expected 'calendar' or 'band'"),
        ((P, W, 1e5, "calendar", 2.5), {}, "calendar policy_param must be a whole number >= 1, got 2.5"),
        ((P, W, 1e5, "calendar", math.inf), {}, "calendar policy_param must be a whole number >= 1, got inf"),
        ((P, W, 1e5, "calendar", 2), {"segment": "nse"}, "unknown segment 'nse'; expected one of equity_delivery, "
         "equity_intraday, futures_nfo, options_nfo, futures_mcx, options_mcx, futures_cds, options_cds"),
        ((np.array([[10.0, np.nan], [1.0, 1.0]]), W, 1e5, "band", 0.1), {}, "non-finite value at row 0, col 1"),
        ((P, np.array([[0.5, 0.5], [np.inf, 0.0]]), 1e5, "band", 0.1), {}, "non-finite value at row 1, col 0"),
        ((np.zeros((0, 2)), np.zeros((0, 2)), 1e5, "band", 0.1), {}, "degenerate input: empty panel"),
        ((np.array([[10.0, 0.0], [1.0, 1.0]]), W, 1e5, "band", 0.1), {},
         "degenerate input: non-positive price 0 at row 0, col 1"),
        ((P, np.array([[0.5, 0.5], [1.0, 0.5]]), 1e5, "band", 0.1), {},
         "degenerate input: target weights on date 1 must be long-only and sum <= 1 (sum 1.500000)"),
        ((P, W, 0.0, "band", 0.1), {}, "degenerate input: initial_capital must be > 0, got 0"),
        ((P, W, 1e5, "band", 0.1), {"min_trade_value": -1.0},
         "degenerate input: dp_charge_per_isin and min_trade_value must be >= 0"),
        ((P, W, 1e5, "band", 0.1), {"periods_per_year": 0.0}, "degenerate input: periods_per_year must be > 0, got 0"),
        ((P, W, 1e5, "band", math.inf), {}, "degenerate input: Band band must be a positive finite fraction"),
        # Capital smaller than the flat brokerage: equity ends negative.
        ((P, W, 10.0, "calendar", 1), {"segment": "options_nfo"},
         "degenerate input: average equity or horizon not positive; cost drag undefined"),
    ],
)
def test_failures(args, kw, text):
    with pytest.raises(ValueError) as e:
        tw.simulate_rebalance_policy(*args, **kw)
    assert str(e.value) == text


def test_record_face_and_signature():
    r = tw.simulate_rebalance_policy(P, W, 1e5, "band", 0.1)
    with pytest.raises(TypeError, match="No constructor defined"):
        tw.RebalanceSimResult()
    for name in ("equity_curve", "turnover", "cost_regulatory", "cost_brokerage", "cost_dp"):
        a, b = getattr(r, name)(), getattr(r, name)()
        assert a is not b and a.dtype == np.float64 and a.shape == (2,)
    assert type(r.n_rebalances) is int and type(r.total_cost_drag_annualized) is float
    assert tw.simulate_rebalance_policy.__text_signature__ == (
        '(prices, target_weights, initial_capital, policy, policy_param, segment="equity_delivery", '
        "min_trade_value=0.0, dp_charge_per_isin=..., periods_per_year=252.0)"
    )
