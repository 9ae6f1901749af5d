# Written by tools/gen_stub.py from the module's declarations: do not edit by hand.
# make test fails when this file differs from what the tool writes.

from typing import Final, final

import numpy as np
from numpy.typing import NDArray

__all__ = [
    "SESSION_NSE",
    "SESSION_MCX",
    "SESSION_CDS",
    "SESSION_CONTINUOUS",
    "IST_OFFSET_NS",
    "BacktestConfig",
    "InstrumentConfig",
    "StopConfig",
    "TargetConfig",
    "BacktestResult",
    "BacktestMetrics",
    "Trade",
    "Order",
    "PortfolioResult",
    "InstrumentSummary",
    "run_single_backtest",
    "run_basket_backtest",
    "run_portfolio_backtest",
    "run_options_backtest",
    "run_pairs_backtest",
    "run_multi_backtest",
    "run_spread_backtest",
    "run_tick_backtest",
    "InstrumentSpec",
    "Indicator",
    "BarAggregator",
    "aggregate_bars",
    "bars_from_ticks",
    "KernelSession",
    "PortfolioSession",
    "EngineEvent",
    "PositionSnapshot",
    "resolve_atr_period",
    "BatchSpreadItem",
    "batch_spread_backtest",
    "BatchSingleItem",
    "batch_single_backtest",
    "simulate_portfolio_mc",
    "RiskModel",
    "OptimizerConfig",
    "OptimizationResult",
    "RiskContributions",
    "OptimizeItem",
    "RebalanceSimResult",
    "RankIC",
    "estimate_covariance",
    "optimize_portfolio",
    "batch_optimize_portfolios",
    "compute_risk_contributions",
    "winsorize_panel",
    "zscore_panel",
    "rank_panel",
    "momentum_panel",
    "composite_scores",
    "rank_ic",
    "simulate_rebalance_policy",
    "indian_cost_schedule",
    "compute_tick_entry_signals",
    "compute_tick_exit_signals",
    "tick_spread_pct",
    "buy_sell_imbalance_delta",
    "return_window",
    "realized_vol_rolling",
    "oi_position_pct",
    "tick_velocity",
    "sma",
    "ema",
    "rsi",
    "macd",
    "stochastic",
    "atr",
    "bollinger_bands",
    "adx",
    "vwap",
    "supertrend",
    "rolling_min",
    "rolling_max",
]

SESSION_NSE: Final[float]
SESSION_MCX: Final[float]
SESSION_CDS: Final[float]
SESSION_CONTINUOUS: Final[float]
IST_OFFSET_NS: Final[int]

_BasketInstrument = tuple[
    NDArray[np.int64], NDArray[np.float64], NDArray[np.float64], NDArray[np.float64], NDArray[np.float64],
    NDArray[np.float64], NDArray[np.bool_], NDArray[np.bool_], int, float, str,
]
_MultiStrategy = tuple[NDArray[np.bool_], NDArray[np.bool_], int, float, str]
_Bar = tuple[int, float, float, float, float, float]
_BarArrays = tuple[
    NDArray[np.int64], NDArray[np.float64], NDArray[np.float64], NDArray[np.float64], NDArray[np.float64],
    NDArray[np.float64],
]

@final
class BacktestConfig:
    """Python-exposed backtest configuration.

    Money is in the price currency. `fees`, `slippage`, `limit_slippage`
    and `risk_free_rate` are fractions (0.001 is 0.1 %); names ending in
    `_pct` hold percent; times and offsets are nanoseconds. Every run and
    session copies the record, so later changes reach none already built.
    """
    initial_capital: float
    """Starting cash of the account, in the price currency; finite and above 0."""
    fees: float
    """Flat fee of every fill, entries and exits alike, as a fraction of its
    traded value: 0.001 is 0.1 %. Charged unless `fee_segment` names a
    schedule; finite and within (-1, 1) (a negative fee is a rebate).
    """
    slippage: float
    """Adverse slippage of every fill but a limit order's (see
    `limit_slippage`), as a fraction of the fill price: 0.0005 (5 bp) buys
    0.05 % higher and sells 0.05 % lower, stop and target exits included.
    Applied while `apply_slippage` is true; within (-1, 1).
    """
    upon_bar_close: bool
    """Deprecated in favor of `fill_timing`: `True` maps to
    `"same_bar_close"`, `False` to `"next_bar_open"`. An explicit
    `fill_timing` wins over this flag.
    """
    apply_slippage: bool
    """Whether `slippage` is applied to fills. Ignored entirely before 0.5.0."""
    periods_per_year: float | None
    """Explicit annualization factor; `None` infers it from bar spacing.

    Return periods per year that scale the Sharpe and Sortino ratios; pass
    252 for stock-exchange daily bars. When None (or not above 0) the median
    bar spacing decides: bars of a day or longer, or any bars with
    `session_minutes` 0, give 365 days over the bar length, so daily
    bars get 365; intraday bars get the bars per session x 252.
    """
    risk_free_rate: float
    """Annual risk-free rate as a fraction.

    0.05 is 5 % a year. Divided by the periods per year, it is taken off
    the mean return of the Sharpe and Sortino ratios; no cash earns it.
    """
    session_minutes: float | None
    """Trading minutes per session for intraday annualization.

    NSE equity 375, MCX 870, CDS 480. `0` marks a 24x7 market.
    `None` defaults to NSE.

    Read only to infer the periods per year of intraday bars: bars per
    session x 252 sessions. At 0 or below, bars are counted against a
    365-day year instead.
    """
    fee_segment: str | None
    """Itemized Indian cost segment, e.g. "NSE", "NFO-OPT", "MCX-FUT".

    When set, the engine charges the real regulatory schedule instead of
    the flat `fees` fraction, and reports the breakdown per trade.

    The text is an exchange, then optionally "-" and a product, matched without
    regard to case: "NSE" or "BSE" alone or with "-INTRADAY" is equity
    intraday, "NSE-DELIVERY" equity delivery; "NFO", "MCX" and "CDS"
    ("BFO", "BCD") give their futures schedule, or their options schedule
    with "-OPT", "-CE" or "-PE". Any other text silently keeps the flat
    `fees`. The schedules' fixed charges are rupees (brokerage up to 20 a
    fill), so prices should be too. Entries are sized so that the
    schedule's charges fit the available capital.

    The analytics (`indian_cost_schedule`, `simulate_rebalance_policy`)
    name the same eight schedules differently. Here a name from their
    list is an unknown text: it charges the flat `fees`, without an error.

        fee_segment                      analytics segment
        "NSE", "NSE-INTRADAY"            "equity_intraday"
        "NSE-DELIVERY"                   "equity_delivery"
        "NFO", "NFO-FUT"                 "futures_nfo"
        "NFO-OPT", "NFO-CE", "NFO-PE"    "options_nfo"
        "MCX", "MCX-FUT"                 "futures_mcx"
        "MCX-OPT"                        "options_mcx"
        "CDS", "CDS-FUT"                 "futures_cds"
        "CDS-OPT"                        "options_cds"
    """
    max_positions: int | None
    """Maximum concurrent open positions. `None` is unlimited.

    In a portfolio run or session the count covers every instrument; an
    entry beyond it is refused with the reason "max_positions".
    """
    max_drawdown_pct: float | None
    """Drawdown percent that halts new entries. `None` disables.

    Percent of the equity peak, not a fraction: 10.0 halts at 10 % below
    the peak. Only a value above 0 arms it; once tripped it stays, and
    exits still run.
    """
    legacy_annualization: bool
    """Reproduce pre-0.5.0 annualization constants.

    When true every run annualises with 365 periods a year, whatever
    `periods_per_year` says.
    """
    fill_prob_limit: float
    """Probability a marketable resting limit order fills (1.0 = always)."""
    fill_prob_slippage: float
    """Probability a stop/market fill slips one tick against the trader.

    The tick is the instrument's `price_increment`; without an instrument
    there is no tick and nothing slips. Draws follow `fill_seed`.
    """
    queue_fill_model: bool
    """Fill resting limits from observed queue position (needs depth data)."""
    partial_fills: bool
    """Fill typed orders across prints on the tick path (partial fills)."""
    order_latency_ns: int
    """Order-entry latency on the tick path (ns); 0 = same-print."""
    session_tz_offset_ns: int
    """Offset for the trading date DAY orders expire on (0 = UTC).

    Nanoseconds added to the UTC timestamps to get local time
    (`IST_OFFSET_NS` for India); the square-off time is local time too.
    """
    @property
    def squareoff_time_minutes(self) -> int | None:
        """Squareoff time as minutes from local midnight; `None` disables.

        Set through the `squareoff_time` "HH:MM" argument, not directly.

        Local time is the UTC timestamp plus `session_tz_offset_ns`.
        """
    limit_slippage: float
    """Adverse adjustment on limit fills, as a fraction of the limit price.

    The engine applies it to the fill price, not the limit price: a buy
    fills at the fill price x (1 + `limit_slippage`), a sell at x (1 -
    `limit_slippage`), and never beyond the limit. Within (-1, 1).
    """
    liquidate_on_margin_call: bool
    """Force-close positions on a margin call instead of only halting entries."""
    fill_seed: int
    """Seed for the stochastic-fill RNG."""
    bar_path_adaptive: bool
    """Infer intra-bar high/low order from candle geometry on stop/target
    conflicts; false keeps the legacy stop-first assumption.
    """
    @property
    def fill_timing(self) -> str | None:
        """The execution-timing policy, or `None` when it derives from the
        deprecated `upon_bar_close` flag.

        "same_bar_close" fills signal entries and exits at their bar's close,
        "next_bar_open" at the next bar's open; "same_bar_open_lookahead" fills
        at the signal bar's own open, which looks ahead, and only reproduces
        old results.
        """
    def __new__(
        cls,
        initial_capital: float = 100000.0,
        fees: float = 0.001,
        slippage: float = 0.0,
        upon_bar_close: bool = True,
        apply_slippage: bool = True,
        periods_per_year: float | None = None,
        risk_free_rate: float = 0.0,
        session_minutes: float | None = None,
        fee_segment: str | None = None,
        max_positions: int | None = None,
        max_drawdown_pct: float | None = None,
        legacy_annualization: bool = False,
        fill_prob_limit: float = 1.0,
        fill_prob_slippage: float = 0.0,
        fill_seed: int = 0,
        bar_path_adaptive: bool = False,
        queue_fill_model: bool = False,
        partial_fills: bool = False,
        order_latency_ns: int = 0,
        session_tz_offset_ns: int = 0,
        limit_slippage: float = 0.0,
        liquidate_on_margin_call: bool = False,
        squareoff_time: str | None = None,
        fill_timing: str | None = None,
    ) -> BacktestConfig: ...
    def set_fixed_stop(self, percent: float) -> None:
        """Set fixed percentage stop-loss.

        `percent` is a fraction of the entry price, not percent: 0.05 puts the
        stop 5 % below a long entry (above a short one). Finite and above 0.
        """
    def set_atr_stop(self, multiplier: float, period: int) -> None:
        """Set ATR-based stop-loss.

        The stop sits `multiplier` x ATR from the entry price. The array runners
        compute the ATR over `period` bars; a session uses the `atr` its step is
        given, and sets no stop while that is 0. `multiplier` is finite and above 0.
        """
    def set_trailing_stop(self, percent: float) -> None:
        """Set trailing stop-loss.

        `percent` is a fraction, not percent: 0.05 keeps the stop 5 % below the
        highest price since entry (above the lowest, for a short). Finite and
        above 0.
        """
    def set_fixed_target(self, percent: float) -> None:
        """Set fixed percentage take-profit.

        `percent` is a fraction of the entry price, not percent: 0.1 puts the
        target 10 % above a long entry (below a short one). Finite and above 0.
        """
    def set_atr_target(self, multiplier: float, period: int) -> None:
        """Set ATR-based take-profit.

        The target sits `multiplier` x ATR from the entry price. The array runners
        compute the ATR over `period` bars; a session uses the `atr` its step is
        given, and sets no target while that is 0. `multiplier` is finite and above
        0.
        """
    def set_risk_reward_target(self, ratio: float) -> None:
        """Set risk-reward based take-profit.

        The target sits `ratio` times the distance to the stop rule's level
        beyond the entry; without a stop rule no target is set. `ratio` is finite
        and above 0.
        """

@final
class InstrumentConfig:
    """Python-exposed per-instrument configuration.

    Overrides the run's `BacktestConfig` for one instrument; None keeps
    the configuration's behaviour. A stop or target set here replaces
    the configuration's rule of that side as a whole.
    """
    lot_size: float | None
    """Quantity step of entries, in units (50 for a NIFTY lot): when set
    and above 0, every entry and add is rounded down to a multiple of
    it, and an entry smaller than one lot is not opened.
    """
    alloted_capital: float | None
    """Capital this instrument may use, in the price currency: its entries
    are sized against the smaller of it and the account's free capital.
    """
    existing_qty: float | None
    """Quantity already held. Carried with the record; no engine reads it.
    To start a session with a holding, use `PortfolioSession.adopt_position`.
    """
    avg_price: float | None
    """Average price of `existing_qty`; carried with it, read by no engine."""
    def __new__(
        cls,
        lot_size: float | None = None,
        alloted_capital: float | None = None,
        existing_qty: float | None = None,
        avg_price: float | None = None,
    ) -> InstrumentConfig: ...
    def set_fixed_stop(self, percent: float) -> None:
        """Set fixed percentage stop-loss override.

        `percent` is a fraction of the entry price, not percent: 0.05 puts the
        stop 5 % below a long entry (above a short one). Finite and above 0.
        """
    def set_atr_stop(self, multiplier: float, period: int) -> None:
        """Set ATR-based stop-loss override.

        The stop sits `multiplier` x ATR from the entry price. The array runners
        compute the ATR over `period` bars; a session uses the `atr` its step is
        given, and sets no stop while that is 0. `multiplier` is finite and above 0.
        """
    def set_trailing_stop(self, percent: float) -> None:
        """Set trailing stop-loss override.

        `percent` is a fraction, not percent: 0.05 keeps the stop 5 % below the
        highest price since entry (above the lowest, for a short). Finite and
        above 0.
        """
    def set_fixed_target(self, percent: float) -> None:
        """Set fixed percentage take-profit override.

        `percent` is a fraction of the entry price, not percent: 0.1 puts the
        target 10 % above a long entry (below a short one). Finite and above 0.
        """
    def set_atr_target(self, multiplier: float, period: int) -> None:
        """Set ATR-based take-profit override.

        The target sits `multiplier` x ATR from the entry price. The array runners
        compute the ATR over `period` bars; a session uses the `atr` its step is
        given, and sets no target while that is 0. `multiplier` is finite and above
        0.
        """
    def set_risk_reward_target(self, ratio: float) -> None:
        """Set risk-reward based take-profit override.

        The target sits `ratio` times the distance to the stop rule's level
        beyond the entry; without a stop rule no target is set. `ratio` is finite
        and above 0.
        """

@final
class StopConfig:
    """Python-exposed stop configuration."""
    stop_type: str
    percent: float | None
    multiplier: float | None
    period: int | None
    def __new__(cls) -> StopConfig: ...
    @staticmethod
    def fixed(percent: float) -> StopConfig: ...
    @staticmethod
    def atr(multiplier: float, period: int) -> StopConfig: ...
    @staticmethod
    def trailing(percent: float) -> StopConfig: ...

@final
class TargetConfig:
    """Python-exposed target configuration."""
    target_type: str
    percent: float | None
    multiplier: float | None
    period: int | None
    ratio: float | None
    def __new__(cls) -> TargetConfig: ...
    @staticmethod
    def fixed(percent: float) -> TargetConfig: ...
    @staticmethod
    def atr(multiplier: float, period: int) -> TargetConfig: ...
    @staticmethod
    def risk_reward(ratio: float) -> TargetConfig: ...

@final
class BacktestResult:
    """Python-exposed backtest result."""
    @property
    def metrics(self) -> BacktestMetrics: ...
    def equity_curve(self) -> NDArray[np.float64]:
        """Get equity curve as numpy array."""
    def returns(self) -> NDArray[np.float64]:
        """Get returns as numpy array."""
    def drawdown_curve(self) -> NDArray[np.float64]:
        """Get drawdown curve as numpy array."""
    def trades(self) -> list[Trade]:
        """Get list of trades."""
    def orders(self) -> list[Order]:
        """Every order the run placed, in submission order — including the ones
        that never filled. Empty for a run that placed no typed orders.
        """

@final
class BacktestMetrics:
    """Python-exposed backtest metrics."""
    @property
    def total_return_pct(self) -> float: ...
    @property
    def sharpe_ratio(self) -> float: ...
    @property
    def sortino_ratio(self) -> float | None: ...
    @property
    def calmar_ratio(self) -> float | None:
        """Total return over the deepest drawdown, both in percent:
        `total_return_pct / max_drawdown_pct`, over the whole run and not
        annualised, so the same figure as `recovery_factor` (up to rounding)
        where a run reports that one (the basket, options, pairs and independent
        multi-strategy runs leave it at 0.0). The annualised form is
        ((1 + total_return_pct / 100) ** (1 / years) - 1) * 100 / max_drawdown_pct,
        `years` being the run's length in years (its bars less one over the
        periods per year, or the span of its timestamps). None when not finite,
        as for a gain without a drawdown.
        """
    @property
    def omega_ratio(self) -> float | None: ...
    @property
    def max_drawdown_pct(self) -> float: ...
    @property
    def max_drawdown_duration(self) -> int: ...
    @property
    def max_drawdown_duration_secs(self) -> float | None:
        """The same stretch in seconds, when the run supplied timestamps. A bar is
        a day only on daily data, so the count above cannot be rendered as a
        duration on its own.
        """
    @property
    def ulcer_index(self) -> float:
        """Root mean square of the drawdown curve, same percentage points as
        `max_drawdown_pct`. Weights a drawdown by how long it lasted, which
        `max_drawdown_pct` alone cannot express.
        """
    @property
    def time_under_water_pct(self) -> float:
        """Share of equity samples strictly below the running high-water mark."""
    @property
    def win_rate_pct(self) -> float: ...
    @property
    def profit_factor(self) -> float | None: ...
    @property
    def expectancy(self) -> float: ...
    @property
    def sqn(self) -> float: ...
    @property
    def total_trades(self) -> int: ...
    @property
    def total_closed_trades(self) -> int: ...
    @property
    def total_open_trades(self) -> int: ...
    @property
    def open_trade_pnl(self) -> float: ...
    @property
    def winning_trades(self) -> int: ...
    @property
    def losing_trades(self) -> int: ...
    @property
    def start_value(self) -> float: ...
    @property
    def end_value(self) -> float: ...
    @property
    def total_fees_paid(self) -> float: ...
    @property
    def best_trade_pct(self) -> float: ...
    @property
    def worst_trade_pct(self) -> float: ...
    @property
    def avg_trade_return_pct(self) -> float: ...
    @property
    def avg_win_pct(self) -> float | None:
        """None when no trade won -- an average over an empty set is undefined."""
    @property
    def avg_loss_pct(self) -> float | None:
        """None when no trade lost."""
    @property
    def avg_winning_duration(self) -> float | None:
        """None when no trade won."""
    @property
    def avg_losing_duration(self) -> float | None:
        """None when no trade lost."""
    @property
    def max_consecutive_wins(self) -> int: ...
    @property
    def max_consecutive_losses(self) -> int: ...
    @property
    def avg_holding_period(self) -> float: ...
    @property
    def avg_holding_period_secs(self) -> float | None:
        """The same average in seconds, when the run supplied timestamps."""
    @property
    def exposure_pct(self) -> float: ...
    @property
    def payoff_ratio(self) -> float | None: ...
    @property
    def recovery_factor(self) -> float | None: ...
    @property
    def total_turnover(self) -> float:
        """Total traded notional, both sides counted: |size x entry price| plus
        |size x exit price| per trade, without the exit leg of a trade still open
        at the end of the data or settled at expiry.
        """
    @property
    def return_skew(self) -> float | None: ...
    @property
    def return_kurtosis(self) -> float | None: ...
    @property
    def tail_ratio(self) -> float | None: ...
    @property
    def cost_to_gross_profit_pct(self) -> float | None: ...
    @property
    def breakeven_cost_multiple(self) -> float | None: ...
    @property
    def return_consistency_pct(self) -> float | None: ...
    @property
    def avg_drawdown_pct(self) -> float | None: ...
    @property
    def mae_mfe_coverage_pct(self) -> float | None: ...
    @property
    def avg_mae_pnl(self) -> float | None: ...
    @property
    def mfe_capture_ratio(self) -> float | None: ...
    def to_dict(self) -> dict[str, float | int | None]:
        """Convert to dictionary of all metrics."""

@final
class Trade:
    """Python-exposed trade."""
    @property
    def id(self) -> int: ...
    @property
    def symbol(self) -> str: ...
    @property
    def entry_idx(self) -> int: ...
    @property
    def exit_idx(self) -> int: ...
    @property
    def entry_price(self) -> float: ...
    @property
    def exit_price(self) -> float: ...
    @property
    def size(self) -> float: ...
    @property
    def direction(self) -> int: ...
    @property
    def pnl(self) -> float: ...
    @property
    def return_pct(self) -> float: ...
    @property
    def entry_time(self) -> int: ...
    @property
    def exit_time(self) -> int: ...
    @property
    def fees(self) -> float:
        """Total costs over the round trip, equal to `entry_fees + exit_fees`."""
    @property
    def entry_fees(self) -> float:
        """Costs charged when the position was opened."""
    @property
    def exit_fees(self) -> float:
        """Costs charged when it was closed.

        Zero when the exit was not a trade-out -- an option left to expire is
        never sold, so it owes no exit-side brokerage or transaction tax.
        """
    @property
    def fee_breakdown(self) -> dict[str, float] | None:
        """Itemized regulatory costs, when `config.fee_segment` is set.

        Keys: brokerage, stt, exchange_txn, sebi_fee, stamp_duty, gst, total.
        `total` equals `fees`, so reported costs and the equity curve agree.
        """
    @property
    def exit_reason(self) -> str: ...
    @property
    def mae_price(self) -> float | None:
        """Worst price reached against the position while it was open.

        `None` on paths that synthesise a trade instead of closing a tracked
        position (spreads, baskets, pairs, options rollups). `None` means "not
        measured" -- never read it as a zero excursion.
        """
    @property
    def mfe_price(self) -> float | None:
        """Best price reached in the position's favour while it was open."""
    @property
    def mae_pnl(self) -> float | None:
        """Maximum Adverse Excursion in money: the unrealised loss at the worst
        point of the trade, before costs. Never positive.

        Measured bar by bar during the run. Its resolution is the bar, so a 5m
        run knows the worst 5m extreme, not the worst tick inside it.
        """
    @property
    def mfe_pnl(self) -> float | None:
        """Maximum Favourable Excursion in money: the unrealised profit at the
        best point of the trade, before costs. Never negative.
        """

@final
class Order:
    """Python-exposed order record."""
    @property
    def id(self) -> int: ...
    @property
    def client_id(self) -> str: ...
    @property
    def symbol(self) -> str: ...
    @property
    def side(self) -> str:
        """"buy" | "sell"."""
    @property
    def kind(self) -> str:
        """"market", "limit", "stop_market", ... — the shape, not its prices."""
    @property
    def tif(self) -> str:
        """"gtc", "day", "ioc", ..."""
    @property
    def status(self) -> str:
        """Final state: "filled", "canceled", "expired", "rejected", ..."""
    @property
    def submitted_idx(self) -> int: ...
    @property
    def submitted_ts(self) -> int: ...
    @property
    def requested_qty(self) -> float | None:
        """Units asked for, or None when the request named a capital fraction
        rather than a number — "not stated", never a zero request.
        """
    @property
    def filled_qty(self) -> float:
        """Units filled, summed across slices. 0.0 for an order that never
        filled, which is measured rather than missing.
        """
    @property
    def avg_fill_price(self) -> float | None:
        """Size-weighted mean fill price, or None if it never filled."""
    @property
    def last_fill_idx(self) -> int | None: ...
    @property
    def fill_slices(self) -> int:
        """How many separate fills it took; more than one is a partial-fill
        sequence.
        """
    @property
    def limit_price(self) -> float | None: ...
    @property
    def trigger_price(self) -> float | None: ...
    @property
    def reject_reason(self) -> str | None:
        """Why the engine refused it, as a stable snake_case identifier
        ("insufficient_margin", "max_positions", ...). None when it was not
        rejected.
        """
    @property
    def parent_id(self) -> int | None: ...
    @property
    def oco_group(self) -> int | None: ...

@final
class PortfolioResult:
    """Result of a shared-capital portfolio backtest."""
    @property
    def result(self) -> BacktestResult: ...
    @property
    def per_instrument(self) -> list[InstrumentSummary]: ...
    @property
    def rejected_entries(self) -> int: ...
    @property
    def halted(self) -> bool: ...
    @property
    def halted_at(self) -> int | None: ...
    @property
    def metrics(self) -> BacktestMetrics:
        """Portfolio metrics, computed on the constrained run."""

@final
class InstrumentSummary:
    """Per-instrument attribution from a portfolio backtest."""
    @property
    def symbol(self) -> str: ...
    @property
    def trades(self) -> int: ...
    @property
    def pnl(self) -> float: ...
    @property
    def rejected_entries(self) -> int: ...

def run_single_backtest(
    timestamps: NDArray[np.int64],
    open: NDArray[np.float64],
    high: NDArray[np.float64],
    low: NDArray[np.float64],
    close: NDArray[np.float64],
    volume: NDArray[np.float64],
    entries: NDArray[np.bool_],
    exits: NDArray[np.bool_],
    direction: int = 1,
    weight: float = 1.0,
    symbol: str = "UNKNOWN",
    config: BacktestConfig | None = None,
    position_sizes: NDArray[np.float64] | None = None,
    instrument_config: InstrumentConfig | None = None,
) -> BacktestResult:
    """Run single instrument backtest.

    Note: the array-based runners (precomputed boolean entry/exit signals)
    are the legacy strategy path. For new strategies prefer driving a
    `KernelSession` bar by bar, which shares the same execution core and
    result types. Array runners remain supported and will only be
    deprecated in a future major release.

    position_sizes, when given, holds one fraction per bar: the entry
    signalled on bar i spends position_sizes[i] of the available capital. A
    fraction outside (0, 1], or NaN, makes that entry open nothing, without
    an error: 1.0001 and 2.0 give no trade, as do 0.0 and -0.5.
    """

def run_basket_backtest(
    instruments: list[_BasketInstrument],
    config: BacktestConfig | None = None,
    sync_mode: str = "all",
    instrument_configs: dict[str, InstrumentConfig] | None = None,
) -> BacktestResult:
    """Run basket/collective backtest.

    The instruments are matched by bar number, not by time: bar i of each is
    taken to be the same moment. Only their bar counts are compared, never
    their timestamps, so an instrument whose stamps run a year late trades
    exactly as if they did not. Instrument 0's timestamps date the curves (one
    value per bar) and give the Sharpe and Sortino ratios their periods per
    year; each trade carries its own instrument's stamps. Align the
    instruments' bars on common timestamps before the call (keep the stamps
    all of them have, or fill each one's missing bars).
    """

def run_portfolio_backtest(
    instruments: list[_BasketInstrument],
    config: BacktestConfig | None = None,
    allocation: str = "equal_weight",
    instrument_configs: dict[str, InstrumentConfig] | None = None,
) -> PortfolioResult:
    """Run a shared-capital portfolio backtest.

    Simulates every instrument against one cash pool, with `max_positions` and
    the drawdown kill-switch (set on `config`) gating each entry *before* it
    opens -- so the reported metrics describe the constrained run.

    This is not the same as running one backtest per symbol and summing the
    equity curves: there each symbol gets its own private capital, so N symbols
    deploy N times the account and no cross-symbol limit can be applied.

    `allocation`: "equal_weight" (default) divides the pool across the slots
    that could still open; "full" lets each entry take the whole remaining pool.

    The instruments are matched by bar number, not by time: bar i of each is
    taken to be the same moment. Only their bar counts are compared, never
    their timestamps, so an instrument whose stamps run a year late trades
    exactly as if they did not. Instrument 0's timestamps date the curves (one
    value per bar) and give the metrics their periods per year and the
    drawdown's duration in seconds; each trade carries its own instrument's
    stamps, and so does its holding time. Align the instruments' bars on
    common timestamps before the call (keep the stamps all of them have, or
    fill each one's missing bars).
    """

def run_options_backtest(
    timestamps: NDArray[np.int64],
    open: NDArray[np.float64],
    high: NDArray[np.float64],
    low: NDArray[np.float64],
    close: NDArray[np.float64],
    volume: NDArray[np.float64],
    option_prices: NDArray[np.float64],
    entries: NDArray[np.bool_],
    exits: NDArray[np.bool_],
    direction: int = 1,
    symbol: str = "OPTION",
    config: BacktestConfig | None = None,
    option_type: str = "call",
    strike_selection: str = "atm",
    size_type: str = "percent",
    size_value: float = 1.0,
    lot_size: int = 1,
    strike_interval: float = 50.0,
    option_open_prices: NDArray[np.float64] | None = None,
) -> BacktestResult:
    """Run options backtest."""

def run_pairs_backtest(
    leg1_timestamps: NDArray[np.int64],
    leg1_open: NDArray[np.float64],
    leg1_high: NDArray[np.float64],
    leg1_low: NDArray[np.float64],
    leg1_close: NDArray[np.float64],
    leg1_volume: NDArray[np.float64],
    leg2_timestamps: NDArray[np.int64],
    leg2_open: NDArray[np.float64],
    leg2_high: NDArray[np.float64],
    leg2_low: NDArray[np.float64],
    leg2_close: NDArray[np.float64],
    leg2_volume: NDArray[np.float64],
    entries: NDArray[np.bool_],
    exits: NDArray[np.bool_],
    direction: int = 1,
    symbol: str = "PAIR",
    config: BacktestConfig | None = None,
    hedge_ratio: float = 1.0,
    dynamic_hedge: bool = False,
) -> BacktestResult:
    """Run pairs trading backtest."""

def run_multi_backtest(
    timestamps: NDArray[np.int64],
    open: NDArray[np.float64],
    high: NDArray[np.float64],
    low: NDArray[np.float64],
    close: NDArray[np.float64],
    volume: NDArray[np.float64],
    strategies: list[_MultiStrategy],
    config: BacktestConfig | None = None,
    combine_mode: str = "any",
) -> BacktestResult:
    """Run multi-strategy backtest."""

def run_spread_backtest(
    timestamps: NDArray[np.int64],
    underlying_close: NDArray[np.float64],
    legs_premiums: list[NDArray[np.float64]],
    leg_configs: list[tuple[str, float, int, int]],
    entries: NDArray[np.bool_],
    exits: NDArray[np.bool_],
    config: BacktestConfig | None = None,
    spread_type: str = "custom",
    max_loss: float | None = None,
    target_profit: float | None = None,
    leg_expiry_timestamps: list[int] | None = None,
    legs_open_premiums: list[NDArray[np.float64]] | None = None,
) -> BacktestResult:
    """Run spread backtest (multi-leg options)."""

def run_tick_backtest(
    timestamps: NDArray[np.int64],
    ltp: NDArray[np.float64],
    bid: NDArray[np.float64],
    ask: NDArray[np.float64],
    buy_qty_delta: NDArray[np.float64],
    sell_qty_delta: NDArray[np.float64],
    oi: NDArray[np.float64],
    entries: NDArray[np.bool_],
    exits: NDArray[np.bool_],
    symbol: str = "TICK",
    initial_capital: float = 100000.0,
    fees: float = 0.001,
    slippage: float = 0.0,
    stop_loss_pct: float = 5.0,
    take_profit_pct: float = 10.0,
    max_hold_seconds: int = 1800,
    entry_cooldown_ticks: int = 10,
    max_trades: int = ...,
    lot_size: int = 1,
    quantity: int = 1,
    fee_segment: str | None = None,
) -> BacktestResult:
    """Run tick-level backtest on a single instrument.

    All arrays must be the same length N (one element per tick).
    `buy_qty_delta` and `sell_qty_delta` must already be per-tick deltas —
    pass the difference from the previous tick, not the broker feed's cumulative totals.
    `entries` / `exits` are caller-computed boolean signal arrays.

    Returns a `BacktestResult` with the same fields as `run_single_backtest`.

    `stop_loss_pct` and `take_profit_pct` are percent of the entry fill, 0 or
    above; `inf` sets no stop or no target. `fees` is a fraction within (-1, 1).
    """

@final
class InstrumentSpec:
    """Python-exposed instrument market definition."""
    @property
    def symbol(self) -> str: ...
    @property
    def kind(self) -> str:
        """Instrument family: "cash", "currency_pair", "contract", "option" or "index"."""
    settlement_fee: float
    """Fee fraction charged on settlement at expiry."""
    @property
    def price_increment(self) -> float: ...
    @property
    def size_increment(self) -> float: ...
    @property
    def lot_size(self) -> float: ...
    @property
    def multiplier(self) -> float: ...
    @property
    def margin_init(self) -> float: ...
    @property
    def span_pct(self) -> float:
        """SPAN-style deposit fraction for a sold option (0.0 = not modelled)."""
    @property
    def exposure_pct(self) -> float:
        """Exposure margin fraction for a sold option (0.0 = not modelled)."""
    @property
    def margin_maint(self) -> float: ...
    @property
    def maker_fee(self) -> float: ...
    @property
    def taker_fee(self) -> float: ...
    @property
    def activation_ns(self) -> int | None: ...
    expiration_ns: int | None
    @property
    def strike(self) -> float | None:
        """Option strike, or None for non-options."""
    @property
    def right(self) -> str | None:
        """Option right, "call" or "put", for options, None otherwise."""
    @property
    def underlying(self) -> str | None:
        """Underlying symbol for derivatives, None otherwise."""
    @property
    def tradable(self) -> bool:
        """Whether orders may be placed on this instrument."""
    @staticmethod
    def equity(
        symbol: str,
        price_increment: float = 0.0,
        lot_size: float = 1.0,
        size_increment: float = 0.0,
        margin_init: float = 0.0,
        margin_maint: float = 0.0,
        maker_fee: float = 0.0,
        taker_fee: float = 0.0,
    ) -> InstrumentSpec:
        """A cash equity / spot instrument."""
    @staticmethod
    def futures_contract(
        symbol: str,
        expiration_ns: int,
        lot_size: float,
        multiplier: float = 1.0,
        price_increment: float = 0.0,
        underlying: str | None = None,
        activation_ns: int | None = None,
        margin_init: float = 0.0,
        margin_maint: float = 0.0,
        maker_fee: float = 0.0,
        taker_fee: float = 0.0,
    ) -> InstrumentSpec:
        """A dated futures contract."""
    @staticmethod
    def perpetual(
        symbol: str,
        lot_size: float = 1.0,
        multiplier: float = 1.0,
        price_increment: float = 0.0,
        size_increment: float = 0.0,
        underlying: str | None = None,
        margin_init: float = 0.0,
        margin_maint: float = 0.0,
        maker_fee: float = 0.0,
        taker_fee: float = 0.0,
    ) -> InstrumentSpec:
        """A perpetual contract (dated future without expiry)."""
    @staticmethod
    def option(
        symbol: str,
        strike: float,
        right: str,
        expiration_ns: int,
        lot_size: float,
        multiplier: float = 1.0,
        price_increment: float = 0.0,
        underlying: str | None = None,
        binary: bool = False,
        activation_ns: int | None = None,
        margin_init: float = 0.0,
        margin_maint: float = 0.0,
        maker_fee: float = 0.0,
        taker_fee: float = 0.0,
        span_pct: float = 0.0,
        exposure_pct: float = 0.0,
    ) -> InstrumentSpec:
        """A vanilla or binary option contract.

        `span_pct` and `exposure_pct` model the deposit an exchange blocks against a SOLD option, each as a fraction of the underlying notional at the strike. Both default to `0.0`, which leaves a short option funded at its premium as in earlier releases. Bought options are unaffected: a buyer can lose only the premium.
        """
    @staticmethod
    def currency_pair(
        symbol: str,
        price_increment: float = 0.0,
        size_increment: float = 0.0,
        lot_size: float = 1.0,
        margin_init: float = 0.0,
        margin_maint: float = 0.0,
        maker_fee: float = 0.0,
        taker_fee: float = 0.0,
    ) -> InstrumentSpec:
        """A spot currency pair."""
    @staticmethod
    def index(symbol: str, price_increment: float = 0.0) -> InstrumentSpec:
        """A non-tradable reference index."""

@final
class Indicator:
    """Streaming indicator with batch-identical values.

    The kinds kept on a running sum, `sma` and `bollinger`, equal
    the batch functions up to the last bits, not bit for bit: the sum
    carried from bar to bar rounds differently from a sum taken afresh.

    A NaN close (for `atr`, a bar with no true range: two of its high,
    its low and the previous close NaN) keeps the kinds that carry a
    sum or an average NaN until `reset`: `sma`, `ema`, `wilder_ma`,
    `stddev`, `rsi`, `atr`, `bollinger` and `macd`. `wma` is NaN while
    the NaN is in its window, `roc` on its bar and `period` bars later,
    and `donchian` passes a NaN high or low over. Fill or cut gaps
    before feeding them.
    """
    @property
    def kind(self) -> str: ...
    @property
    def value(self) -> float | tuple[float, float] | tuple[float, float, float] | None:
        """Latest value (`None` during warmup)."""
    @property
    def initialized(self) -> bool:
        """Whether the warmup period has completed."""
    @staticmethod
    def sma(period: int) -> Indicator: ...
    @staticmethod
    def ema(period: int) -> Indicator: ...
    @staticmethod
    def wilder_ma(period: int) -> Indicator:
        """Wilder-smoothed moving average (alpha = 1/period)."""
    @staticmethod
    def wma(period: int) -> Indicator: ...
    @staticmethod
    def roc(period: int) -> Indicator:
        """Rate of change over `period` bars, in percent."""
    @staticmethod
    def stddev(period: int) -> Indicator:
        """Rolling population standard deviation."""
    @staticmethod
    def rsi(period: int) -> Indicator: ...
    @staticmethod
    def atr(period: int) -> Indicator: ...
    @staticmethod
    def donchian(period: int) -> Indicator:
        """Highest-high / lowest-low channel; value is `(upper, lower)`."""
    @staticmethod
    def bollinger(period: int, k: float = 2.0) -> Indicator:
        """Bollinger bands; value is `(middle, upper, lower)`."""
    @staticmethod
    def macd(fast: int = 12, slow: int = 26, signal: int = 9) -> Indicator:
        """MACD; value is `(macd, signal, histogram)`."""
    def update_bar(
        self,
        _open: float,
        high: float,
        low: float,
        close: float,
    ) -> float | tuple[float, float] | tuple[float, float, float] | None:
        """Feed one bar. Price-series cores consume the close; bar cores (atr,
        donchian) consume high/low/close. Returns the new value, if warm.
        """
    def reset(self) -> None:
        """Forget all state."""

@final
class BarAggregator:
    """Streaming bar aggregator.

    Push source records (finer bars or trades) in ascending time order; a
    completed bar is returned as `(timestamp, open, high, low, close,
    volume)` when its boundary is crossed. Time bars are stamped with their
    window-end timestamp, so a bar labeled `t` contains only data before `t`.
    """
    @property
    def step(self) -> int: ...
    @property
    def unit(self) -> str: ...
    def __new__(
        cls,
        step: int,
        unit: str,
        tz_offset_ns: int = 0,
        brick_size: float = 0.0,
    ) -> BarAggregator: ...
    def push_bar(
        self,
        timestamp: int,
        open: float,
        high: float,
        low: float,
        close: float,
        volume: float,
    ) -> _Bar | None:
        """Push one bar; returns the completed coarser bar, if any."""
    def push_trade(
        self,
        timestamp: int,
        price: float,
        size: float,
        signed_size: float = 0.0,
    ) -> _Bar | None:
        """Push one trade; returns the completed bar, if any.

        `signed_size` is buy-initiated minus sell-initiated volume, which the
        signed-flow units consume. `0.0` means unknown, and those units then
        classify direction by the tick rule.
        """
    def next_pending(self) -> _Bar | None:
        """A bar completed alongside the last push but held back.

        One large move completes several Renko bricks at once, and `push`
        returns only the first. Drain this after every push, or those bars
        are lost.
        """
    def flush(self) -> _Bar | None:
        """Emit any in-progress bar at end of data."""

def aggregate_bars(
    timestamps: NDArray[np.int64],
    open: NDArray[np.float64],
    high: NDArray[np.float64],
    low: NDArray[np.float64],
    close: NDArray[np.float64],
    volume: NDArray[np.float64],
    step: int,
    unit: str,
    tz_offset_ns: int = 0,
    brick_size: float = 0.0,
) -> _BarArrays:
    """Aggregate bars into coarser bars.

    The final in-progress bar is included (flushed at end of data).
    Supported units: time (`"ms"`/`"s"`/`"m"`/`"h"`/`"d"`/`"w"`), `"tick"`,
    `"volume"`, `"value"`.

    A bar goes to the window that holds its timestamp, and the time bars this
    module makes are stamped at the instant that ends them. To aggregate such
    bars again, first shift their timestamps back by their own period (five
    minutes for 5-minute bars). Unshifted, each coarser bar runs one finer bar
    behind: it takes the finer bar that ends at its start and leaves out the
    one that ends at its end.
    """

def bars_from_ticks(
    timestamps: NDArray[np.int64],
    ltp: NDArray[np.float64],
    buy_qty_delta: NDArray[np.float64],
    sell_qty_delta: NDArray[np.float64],
    step: int,
    unit: str,
    tz_offset_ns: int = 0,
    brick_size: float = 0.0,
) -> _BarArrays:
    """Build bars from raw tick arrays (`ltp` + buy/sell quantity deltas).

    Ticks with a zero last-traded price are skipped, matching the tick
    backtester's treatment of missing data.
    """

@final
class KernelSession:
    """Per-bar simulation session for one instrument.

    Drive it by calling `KernelSession.step` once per bar in ascending
    order, then `KernelSession.finish` to obtain the standard backtest
    result. Scalars cross the boundary per bar, so a Python driver loop pays
    one FFI call per bar with no array allocation.
    """
    def __new__(
        cls,
        symbol: str = "ASSET",
        direction: int = 1,
        config: BacktestConfig | None = None,
        instrument_config: InstrumentConfig | None = None,
        instrument: InstrumentSpec | None = None,
        oms_type: str = "netting",
        account_type: str = "cash",
        leverage: float = 1.0,
    ) -> KernelSession: ...
    def step(
        self,
        idx: int,
        timestamp: int,
        open: float,
        high: float,
        low: float,
        close: float,
        volume: float,
        entry: bool = False,
        exit: bool = False,
        atr: float = 0.0,
        size_mult: float | None = None,
        stop_price: float | None = None,
        target_price: float | None = None,
    ) -> list[EngineEvent]:
        """Advance the session by one bar.

        `entry`/`exit` carry the strategy's order intents for this bar;
        `stop_price`/`target_price` optionally pin explicit exit levels for an
        entry opened on this bar, overriding the configured stop/target models.
        """
    def submit_order(
        self,
        side: str,
        kind: str,
        submitted_idx: int,
        submitted_ts: int,
        client_id: str,
        units: float | None = None,
        size_frac: float | None = None,
        limit_price: float | None = None,
        trigger_price: float | None = None,
        tif: str = "gtc",
        expire_ns: int | None = None,
        stop_price: float | None = None,
        target_price: float | None = None,
        offset: float | None = None,
        offset_kind: str = "price",
        limit_offset: float = 0.0,
        post_only: bool = False,
        reduce_only: bool = False,
        parent_id: int | None = None,
    ) -> int:
        """Submit an order.

        `side` is `"buy"`/`"sell"`; `kind` is `"market"`, `"limit"`,
        `"stop_market"`, or `"stop_limit"`; `tif` is `"gtc"`, `"day"`,
        `"gtd"` (requires `expire_ns`), `"ioc"`, or `"fok"`. Exactly one of
        `units`/`size_frac` sizes an opening order; omit both to close the
        full position with a closing-side order. Returns the engine order id.
        """
    def link_oco(self, order_ids: list[int]) -> None:
        """Put working orders in one one-cancels-other group."""
    def cancel_order(self, idx: int, order_id: int) -> bool:
        """Cancel a working order; `false` for unknown/finished ids."""
    def cancel_all_orders(self, idx: int) -> list[int]:
        """Cancel every working order, returning canceled ids."""
    def set_underlying_price(self, price: float | None = None) -> None:
        """Set the underlying price used to settle options at expiry.

        An option's own bars carry the option's price, so intrinsic value
        needs the underlying from somewhere else. Without it, contracts
        settle at their own close.
        """
    def submit_twap(
        self,
        units: float,
        side: str,
        slices: int,
        interval_ns: int,
        submitted_idx: int,
        submitted_ts: int,
        client_id: str,
        reduce_only: bool = False,
    ) -> int:
        """Register a TWAP schedule; returns its id."""
    def cancel_twap(self, algo_id: int, idx: int) -> bool:
        """Stop a schedule and cancel the slices it has working."""
    def modify_order(
        self,
        order_id: int,
        units: float | None = None,
        size_frac: float | None = None,
        limit_price: float | None = None,
        trigger_price: float | None = None,
    ) -> bool:
        """Replace a working order's prices and/or quantity."""
    def open_order_ids(self) -> list[int]:
        """Ids of all non-terminal orders, in submission order."""
    def set_stop_price(self, price: float | None, position_id: int | None = None) -> None:
        """Overwrite a position's stop price; no-op when flat.

        Without `position_id` targets the earliest open position.
        """
    def set_target_price(self, price: float | None, position_id: int | None = None) -> None:
        """Overwrite a position's target price; no-op when flat."""
    def request_close(self, position_id: int) -> None:
        """Request a close of a specific position on the next step."""
    def positions(self) -> list[PositionSnapshot]:
        """Read-only views of every open position, in opening order."""
    def free_capital(self) -> float:
        """Cash not locked as margin (margin mode); all cash otherwise."""
    def equity(self) -> float:
        """Mark-to-market equity after the most recent step."""
    def cash(self) -> float:
        """Current uninvested cash."""
    def is_in_position(self) -> bool:
        """Whether a position is currently open."""
    def position(self) -> PositionSnapshot | None:
        """Read-only view of the earliest open position, or `None` when flat."""
    def finish(self) -> BacktestResult:
        """Force-close any open position and compute final metrics.

        Consumes the session; further calls raise.
        """

@final
class PortfolioSession:
    """Multi-instrument session over deterministically merged bar streams.

    One shared account funds every instrument. With `account_type="margin"`
    they also share one pool of locked initial margin, so leverage applies
    portfolio-wide and a margin call halts all instruments at once.

    Protocol: `add_instrument` + `set_bars` per symbol, `seal()`, then loop
    `current()` / `apply_current(...)` to completion and `finish()`.
    """
    def __new__(
        cls,
        config: BacktestConfig | None = None,
        account_type: str = "cash",
        leverage: float = 1.0,
    ) -> PortfolioSession: ...
    def add_instrument(
        self,
        symbol: str,
        direction: int = 1,
        instrument_config: InstrumentConfig | None = None,
        instrument: InstrumentSpec | None = None,
        oms_type: str = "netting",
    ) -> int:
        """Register an instrument; returns its index for routing."""
    def set_bars(
        self,
        instrument: int,
        timestamps: NDArray[np.int64],
        open: NDArray[np.float64],
        high: NDArray[np.float64],
        low: NDArray[np.float64],
        close: NDArray[np.float64],
        volume: NDArray[np.float64],
    ) -> None:
        """Attach an instrument's bar arrays (ascending timestamps)."""
    def set_ticks(
        self,
        instrument: int,
        timestamps: NDArray[np.int64],
        ltp: NDArray[np.float64],
        bid: NDArray[np.float64] | None = None,
        ask: NDArray[np.float64] | None = None,
        buy_qty_delta: NDArray[np.float64] | None = None,
        sell_qty_delta: NDArray[np.float64] | None = None,
        ltq: NDArray[np.float64] | None = None,
        bid_qty: NDArray[np.float64] | None = None,
        ask_qty: NDArray[np.float64] | None = None,
        oi: NDArray[np.float64] | None = None,
    ) -> None:
        """Attach an instrument's tick arrays (ascending timestamps).

        A row with `ltp > 0` yields a trade print; a row with both `bid > 0`
        and `ask > 0` yields a quote. The trade precedes the quote of the
        same row, since the print is what that book state followed.
        """
    def set_depth(
        self,
        instrument: int,
        timestamps: NDArray[np.int64],
        bid_prices: NDArray[np.float64],
        bid_sizes: NDArray[np.float64],
        ask_prices: NDArray[np.float64],
        ask_sizes: NDArray[np.float64],
    ) -> None:
        """Attach an instrument's depth snapshots.

        Price/size arrays are `(n_snapshots, levels)`, best level first:
        bids descending, asks ascending. Levels beyond the book's capacity
        are truncated.
        """
    def current_depth(self) -> tuple[list[tuple[float, float]], list[tuple[float, float]]] | None:
        """Full levels of the pending depth event, or `None` for other kinds.

        Returns `(bids, asks)` as `(price, size)` lists, best first.
        """
    def seal(self) -> None:
        """Merge all streams into the deterministic schedule."""
    def push_tick(
        self,
        instrument: int,
        timestamp: int,
        ltp: float,
        bid: float = 0.0,
        ask: float = 0.0,
        buy_qty_delta: float = 0.0,
        sell_qty_delta: float = 0.0,
        ltq: float = 0.0,
        bid_qty: float = 0.0,
        ask_qty: float = 0.0,
        oi: float = 0.0,
    ) -> int:
        """Append one live feed row to the schedule tail.

        Seals first (idempotent), so batch data attached beforehand — warmup
        bars, replayed history — merges ahead of everything pushed. A row
        with `ltp > 0` appends a trade print; a row with both `bid > 0` and
        `ask > 0` appends a quote after it. Returns how many events were
        appended (0–2); drive them with `current_event()`/`apply_current()`.
        """
    def push_bar(
        self,
        instrument: int,
        timestamp: int,
        open: float,
        high: float,
        low: float,
        close: float,
        volume: float,
    ) -> None:
        """Append one live bar to the schedule tail (seals first, idempotent)."""
    def push_depth(
        self,
        instrument: int,
        timestamp: int,
        bids: list[tuple[float, float]],
        asks: list[tuple[float, float]],
    ) -> None:
        """Append one live depth snapshot to the schedule tail.

        `bids`/`asks` are `(price, size)` lists, best level first.
        """
    def remaining(self) -> int:
        """Events pushed or merged but not yet applied."""
    def current(self) -> tuple[int, int, int, float, float, float, float, float] | None:
        """The pending event: `(instrument, local_idx, ts, o, h, l, c, v)`.

        Bar sessions only. A session carrying ticks must use
        `PortfolioSession.current_event`, which names the payload kind;
        this returns `None` on a non-bar event rather than mispresenting a
        print as a bar.
        """
    def current_event(self) -> tuple[str, int, int, int, float, float, float, float, float] | None:
        """The pending event, tagged by kind:
        `(kind, instrument, local_idx, ts, a, b, c, d, e)` where `kind` is
        `"bar"` (o/h/l/c/v), `"trade"` (price, size, oi, 0, 0) or `"quote"`
        (bid, ask, bid_size, ask_size, 0) — a size is `NaN` when the feed
        carried none.
        """
    def apply_current(
        self,
        entry: bool = False,
        exit: bool = False,
        atr: float = 0.0,
        size_mult: float | None = None,
        stop_price: float | None = None,
        target_price: float | None = None,
    ) -> list[EngineEvent]:
        """Step the pending event through its instrument's kernel and advance."""
    def submit_order(
        self,
        instrument: int,
        side: str,
        kind: str,
        submitted_idx: int,
        submitted_ts: int,
        client_id: str,
        units: float | None = None,
        size_frac: float | None = None,
        limit_price: float | None = None,
        trigger_price: float | None = None,
        tif: str = "gtc",
        expire_ns: int | None = None,
        stop_price: float | None = None,
        target_price: float | None = None,
        offset: float | None = None,
        offset_kind: str = "price",
        limit_offset: float = 0.0,
        post_only: bool = False,
        reduce_only: bool = False,
        parent_id: int | None = None,
    ) -> int:
        """Submit a typed order routed to one instrument's kernel."""
    def cancel_order(self, instrument: int, idx: int, order_id: int) -> bool: ...
    def modify_order(
        self,
        instrument: int,
        order_id: int,
        units: float | None = None,
        size_frac: float | None = None,
        limit_price: float | None = None,
        trigger_price: float | None = None,
    ) -> bool:
        """Replace a working order's prices and/or quantity on one instrument."""
    def cancel_all_orders(self, instrument: int, idx: int) -> list[int]: ...
    def link_oco(self, instrument: int, order_ids: list[int]) -> None: ...
    def set_underlying_price(self, instrument: int, price: float | None = None) -> None:
        """Set the underlying price one instrument settles its options against."""
    def adopt_position(self, instrument: int, timestamp_ns: int, price: float, size: float) -> int:
        """Adopt a pre-existing position (broker-truth seeding): the account
        already holds `size` units at `price` average cost. No order, no
        fill, no fees, no trade record — and it must be called before the
        first equity sample so a position-diff signal translation never reads
        the position as a fresh entry. Cash or fully funded margin accounts
        (leverage 1.0), long-only; a leveraged book is refused because the
        broker's posted margin is not derivable from quantity and price.

        Raises `ValueError` if any event has already been applied: adopting
        mid-run understates max drawdown, because the flat stretch before the
        adoption holds the running peak down. Quote- and depth-only events
        sample no equity, so adopting after one is still allowed.
        """
    def request_close(self, instrument: int, position_id: int) -> None: ...
    def positions(self, instrument: int) -> list[PositionSnapshot]:
        """Open positions of one instrument, in opening order."""
    def working_orders(self, instrument: int) -> list[tuple[int, str, str, str, str, float, float]]:
        """Working orders of one instrument as
        `(order_id, client_id, side, kind, status, filled_qty, units)` —
        `units` is `nan` for a capital-fraction or close-all order. Status is
        `accepted`, `triggered` or `partially_filled`.
        """
    def position(self, instrument: int) -> PositionSnapshot | None:
        """Earliest open position of one instrument, or None."""
    def equity(self) -> float:
        """Portfolio equity: pool plus every instrument's last-known mark."""
    def cash(self) -> float:
        """Shared cash balance. In margin mode this includes locked initial
        margin; see `free_capital()` for what can fund a new position.
        """
    def free_capital(self) -> float:
        """Capital available to open new positions across all instruments.

        Equals `cash()` in cash mode; net of locked initial margin otherwise.
        """
    def is_halted(self) -> bool:
        """Whether a margin call or drawdown kill-switch has latched."""
    def finish(self) -> PortfolioResult:
        """Force-close all instruments and compute portfolio metrics."""
    def __len__(self) -> int: ...

@final
class EngineEvent:
    """One observable outcome of a session step.

    `kind` is `"entered"`, `"exited"`, `"entry_rejected"`, or one of the
    order-lifecycle kinds (`"order_accepted"`, `"order_triggered"`,
    `"order_filled"`, `"order_canceled"`, `"order_expired"`,
    `"order_rejected"`); the optional fields are populated according to the
    kind.
    """
    @property
    def kind(self) -> str: ...
    @property
    def idx(self) -> int: ...
    @property
    def price(self) -> float | None:
        """Fill price, for `entered`/`order_filled` events."""
    @property
    def size(self) -> float | None:
        """Position size, for `entered`/`order_filled` events."""
    @property
    def direction(self) -> int | None:
        """Trade direction (1 long, -1 short), for `entered` events."""
    @property
    def trade(self) -> Trade | None:
        """Completed trade, for `exited` events."""
    @property
    def reject_reason(self) -> str | None:
        """Refusal reason, for `entry_rejected`/`order_rejected` events."""
    @property
    def order_id(self) -> int | None:
        """Engine order id, for `order_*` events."""
    @property
    def client_order_id(self) -> str | None:
        """Caller-supplied order identifier, for `order_*` events."""

@final
class PositionSnapshot:
    """Read-only view of the session's open position."""
    @property
    def position_id(self) -> int:
        """Ledger position id, unique within a session."""
    @property
    def entry_idx(self) -> int: ...
    @property
    def entry_price(self) -> float: ...
    @property
    def size(self) -> float: ...
    @property
    def direction(self) -> int:
        """1 for long, -1 for short."""
    @property
    def stop_price(self) -> float | None: ...
    @property
    def target_price(self) -> float | None: ...

def resolve_atr_period(
    config: BacktestConfig | None = None,
    instrument_config: InstrumentConfig | None = None,
) -> int | None:
    """Resolve the ATR period a backtest would use for stop/target computation.

    Mirrors the batch engine's resolution: per-instrument stop/target override
    the global config; the stop's period wins over the target's; `None` when
    neither is ATR-based. The Python strategy runner uses this to precompute
    the same ATR series the array path would.
    """

@final
class BatchSpreadItem:
    """A single spread backtest item for batch execution."""
    strategy_id: str
    spread_type: str
    max_loss: float | None
    target_profit: float | None
    def __new__(
        cls,
        strategy_id: str,
        legs_premiums: list[NDArray[np.float64]],
        leg_configs: list[tuple[str, float, int, int]],
        entries: NDArray[np.bool_],
        exits: NDArray[np.bool_],
        spread_type: str = "custom",
        max_loss: float | None = None,
        target_profit: float | None = None,
        legs_open_premiums: list[NDArray[np.float64]] | None = None,
    ) -> BatchSpreadItem: ...

def batch_spread_backtest(
    timestamps: NDArray[np.int64],
    underlying_close: NDArray[np.float64],
    items: list[BatchSpreadItem],
    config: BacktestConfig | None = None,
) -> list[tuple[str, BacktestResult]]:
    """Run multiple spread backtests in parallel on the worker pool.

    Shared data (timestamps, underlying_close) is converted once, then each
    item is backtested on its own worker thread with the GIL released.

    Returns a list of (strategy_id, BacktestResult) tuples.
    """

@final
class BatchSingleItem:
    """One signal set for `batch_single_backtest`.

    Eagerly copies its arrays under the GIL at construction, so the item holds
    no GIL-bound types and the batch loop can release the GIL (same pattern as
    `BatchSpreadItem`).

    position_sizes, when given, holds one fraction per bar: the entry
    signalled on bar i spends position_sizes[i] of the available capital. A
    fraction outside (0, 1], or NaN, makes that entry open nothing, without
    an error: 1.0001 and 2.0 give no trade, as do 0.0 and -0.5.
    """
    item_id: str
    direction: int
    weight: float
    symbol: str
    def __new__(
        cls,
        item_id: str,
        entries: NDArray[np.bool_],
        exits: NDArray[np.bool_],
        direction: int = 1,
        weight: float = 1.0,
        symbol: str = "UNKNOWN",
        config: BacktestConfig | None = None,
        position_sizes: NDArray[np.float64] | None = None,
        instrument_config: InstrumentConfig | None = None,
    ) -> BatchSingleItem: ...

def batch_single_backtest(
    timestamps: NDArray[np.int64],
    open: NDArray[np.float64],
    high: NDArray[np.float64],
    low: NDArray[np.float64],
    close: NDArray[np.float64],
    volume: NDArray[np.float64],
    items: list[BatchSingleItem],
    config: BacktestConfig | None = None,
) -> list[tuple[str, BacktestResult]]:
    """Run many single-instrument backtests over one price series, in parallel.

    Each item runs exactly as `run_single_backtest` would run it alone, with
    its own `config` when set, else the batch `config`, else the defaults.
    Returns a list of `(item_id, BacktestResult)` tuples in input order.
    """

def simulate_portfolio_mc(
    returns: list[NDArray[np.float64]],
    weights: NDArray[np.float64],
    correlation_matrix: list[NDArray[np.float64]],
    initial_value: float,
    n_simulations: int = 10000,
    horizon_days: int = 252,
    seed: int = 42,
) -> dict[str, object]:
    """Run Monte Carlo forward simulation for a portfolio.

    Uses geometric Brownian motion with Cholesky-decomposed correlated random
    draws, computed in parallel. A seed reproduces its result exactly, whatever
    the worker count.

    Args:
        returns: List of per-strategy return arrays (N strategies)
        weights: Portfolio weight vector (length N, sums to 1)
        correlation_matrix: N x N correlation matrix (flattened row-major as 2D list)
        initial_value: Starting portfolio value
        n_simulations: Number of simulation paths (default: 10000)
        horizon_days: Forward simulation horizon in trading days (default: 252)
        seed: Random seed for reproducibility (default: 42)

    The paths are drawn in fixed blocks of 64, block b from the seed's random
    stream jumped ahead b times, never split between workers: that is why the
    worker count cannot change a result, and why a run of more paths keeps
    every path of a run of fewer with the same seed.

    `final_values` holds every path's final value: -inf first, then the
    finite ones ascending, then +inf, NaN last. `expected_return`,
    `probability_of_loss`, `var_95` and `cvar_95` are taken over the finite
    final values only; with none, all four are NaN.
    """

@final
class RiskModel:
    """Shrunk covariance matrix plus the context needed to use it safely.

    Carries `periods_per_year` and `asset_ids` so annualization and asset
    ordering travel with the matrix; consumers validate against them
    instead of trusting the caller.
    """
    @property
    def asset_ids(self) -> list[str]: ...
    @property
    def n_assets(self) -> int: ...
    @property
    def periods_per_year(self) -> float: ...
    @property
    def shrinkage_intensity(self) -> float: ...
    @property
    def n_obs(self) -> int: ...
    def cov(self) -> NDArray[np.float64]:
        """Covariance of per-period returns as an `n_assets x n_assets` array."""

@final
class OptimizerConfig:
    """Constraint and objective configuration for the long-only optimizer.

    Weights are fractions of the book's value (0.05 is 5 %) and cash is
    1 - sum(w). `alpha` and `turnover_penalty` are per-period returns in
    the period of the `RiskModel` (daily for daily returns). Nothing is
    checked here; the first optimisation reports a bad value.
    """
    risk_aversion: float
    """Weight of the variance term, > 0. The objective is `risk_aversion` x
    w'Cw - alpha'w + `turnover_penalty` x sum|w - w_current|, with C the
    model's per-period covariance; scaling alpha, C and the penalty
    together leaves the optimum unchanged, so the same value serves daily
    and annual units.
    """
    turnover_penalty: float
    """Cost per unit of absolute weight traded, >= 0, in alpha's per-period
    return units; it falls on the full sum |w - w_current|, while the
    reported `turnover` is half that sum (one-way).
    """
    position_cap: float
    """Largest weight of one asset, in (0, 1]: 0.1 caps it at 10 % of the book."""
    sector_ids: list[int]
    """Sector of each asset, one per asset in the model's order, each an
    index into `sector_caps`.
    """
    sector_caps: list[float]
    """Largest weight of each sector, > 0, indexed by sector id: the net
    weight when long-only, the gross weight when long/short.
    """
    no_trade_band: float
    """A weight change smaller than this (a fraction of the book, >= 0) is
    not traded: the asset keeps its current weight.
    """
    min_trade_value: float
    """A trade worth less money than this (|weight change| x
    `portfolio_value`) is not traded; 0 disables, and a value above 0
    needs `portfolio_value`.
    """
    portfolio_value: float
    """Money value of the book, used only to price trades for
    `min_trade_value`; an `OptimizeItem` may carry its own.
    """
    cash_max: float
    """Largest cash weight in long-only mode, in [0, 1): the weights sum to
    between 1 - `cash_max` and 1.
    """
    max_iter: int
    """Iteration limit of the interior-point solver."""
    tolerance: float
    """Gap and feasibility tolerance of the solver; the snapped book is
    checked against the constraints to 10 x this (at least 1e-9).
    """
    short_cap: float
    """Largest short weight of one asset, in [0, 1]; 0 is long-only mode,
    above 0 long/short mode with `gross_max`, `net_min` and `net_max`.
    """
    gross_max: float
    """Budget of the sum of absolute weights, long/short mode only (1.3 is 130 %)."""
    net_min: float
    """Lowest sum of weights, long/short mode only."""
    net_max: float
    """Highest sum of weights, long/short mode only."""
    def __new__(
        cls,
        risk_aversion: float,
        turnover_penalty: float,
        position_cap: float,
        sector_ids: list[int],
        sector_caps: list[float],
        no_trade_band: float = 0.0,
        min_trade_value: float = 0.0,
        portfolio_value: float = 0.0,
        cash_max: float = 0.0,
        max_iter: int = 200,
        tolerance: float = 1e-8,
        short_cap: float = 0.0,
        gross_max: float = 1.0,
        net_min: float = 0.0,
        net_max: float = 1.0,
    ) -> OptimizerConfig: ...

@final
class OptimizationResult:
    """Result of one optimization."""
    @property
    def snapped(self) -> list[bool]: ...
    @property
    def cash(self) -> float: ...
    @property
    def gross_exposure(self) -> float: ...
    @property
    def net_exposure(self) -> float: ...
    @property
    def turnover(self) -> float: ...
    @property
    def objective(self) -> float: ...
    @property
    def vol_annualized(self) -> float: ...
    @property
    def solver_status(self) -> str: ...
    @property
    def iterations(self) -> int: ...
    def weights(self) -> NDArray[np.float64]:
        """The new book after snapping, one weight per asset."""
    def trades(self) -> NDArray[np.float64]:
        """The new weights minus the current ones, per asset."""

@final
class RiskContributions:
    """Euler decomposition of portfolio volatility."""
    @property
    def total_vol_annualized(self) -> float: ...
    def marginal(self) -> NDArray[np.float64]:
        """d sigma / d w_i per asset (per period)."""
    def contribution(self) -> NDArray[np.float64]:
        """w_i times the marginal contribution; sums to sigma."""
    def pct_contribution(self) -> NDArray[np.float64]:
        """Each contribution as a fraction of sigma; sums to 1."""

@final
class OptimizeItem:
    """One user's book for `batch_optimize_portfolios`.

    The arrays are copied eagerly under the GIL at construction, so the
    batch loop can release the GIL.
    """
    def __new__(
        cls,
        item_id: str,
        alpha: NDArray[np.float64],
        w_current: NDArray[np.float64],
        portfolio_value: float | None = None,
    ) -> OptimizeItem: ...

@final
class RebalanceSimResult:
    """Result of a rebalance-policy simulation."""
    @property
    def n_rebalances(self) -> int: ...
    @property
    def n_trades(self) -> int: ...
    @property
    def total_cost_drag_annualized(self) -> float: ...
    def equity_curve(self) -> NDArray[np.float64]:
        """Holdings plus cash on every date, after its trades and costs."""
    def turnover(self) -> NDArray[np.float64]:
        """One-way turnover of every date; 0 where nothing traded."""
    def cost_regulatory(self) -> NDArray[np.float64]:
        """Transaction tax, exchange, SEBI, stamp duty and GST of every date."""
    def cost_brokerage(self) -> NDArray[np.float64]:
        """Brokerage of every date."""
    def cost_dp(self) -> NDArray[np.float64]:
        """Depository charge of every date."""

@final
class RankIC:
    """Measured rank IC of a factor against forward returns."""
    @property
    def mean_ic(self) -> float: ...
    @property
    def stdev_ic(self) -> float: ...
    @property
    def t_stat(self) -> float: ...
    @property
    def t_stat_deflated(self) -> float:
        """Overlap-corrected t-stat. Decide on THIS, not `t_stat`."""
    @property
    def n_dates_scored(self) -> int: ...
    @property
    def n_independent(self) -> float:
        """Roughly how many non-overlapping forward windows back the measurement."""
    @property
    def overlap_days(self) -> int: ...
    @property
    def mean_names(self) -> float: ...
    def daily_ic(self) -> NDArray[np.float64]:
        """The IC of every date, NaN where the date was not scored."""

def estimate_covariance(
    returns: NDArray[np.float64],
    asset_ids: list[str],
    periods_per_year: float,
) -> RiskModel:
    """Estimate a Ledoit-Wolf constant-correlation shrunk covariance.

    `returns` is `n_obs x n_assets` per-period simple returns.
    `periods_per_year` is required -- annualization is never inferred.
    """

def optimize_portfolio(
    model: RiskModel,
    alpha: NDArray[np.float64],
    w_current: NDArray[np.float64],
    asset_ids: list[str],
    config: OptimizerConfig,
) -> OptimizationResult:
    """Optimize one long-only book seeded from current holdings.

    `asset_ids` must match the model's ordering exactly -- a reordered
    universe is an error, not a silently wrong result.
    """

def batch_optimize_portfolios(
    model: RiskModel,
    items: list[OptimizeItem],
    config: OptimizerConfig,
) -> list[tuple[str, OptimizationResult]]:
    """Optimize many books against one risk model, in parallel.

    Deterministic: results are identical to a serial loop, order-preserving
    by item. A per-item error aborts the whole batch with that item named --
    a batch with one silently missing user is worse than a failed batch.
    """

def compute_risk_contributions(
    model: RiskModel,
    weights: NDArray[np.float64],
    asset_ids: list[str],
) -> RiskContributions:
    """Risk contributions of `weights` under `model`."""

def winsorize_panel(values: NDArray[np.float64], pct: float) -> NDArray[np.float64]:
    """Winsorize each date's cross-section (rows = dates, cols = assets)."""

def zscore_panel(values: NDArray[np.float64], min_names: int) -> NDArray[np.float64]:
    """Z-score each date's cross-section."""

def rank_panel(values: NDArray[np.float64], min_names: int) -> NDArray[np.float64]:
    """Rank each date's cross-section into [0, 1], ties averaged."""

def momentum_panel(prices: NDArray[np.float64], lookback: int, skip: int) -> NDArray[np.float64]:
    """Price momentum with a skip window (12-1 daily: lookback=252, skip=21)."""

def composite_scores(
    factors: list[NDArray[np.float64]],
    weights: NDArray[np.float64],
) -> NDArray[np.float64]:
    """Weighted composite of same-shaped factor panels."""

def rank_ic(
    factor: NDArray[np.float64],
    prices: NDArray[np.float64],
    horizon: int,
    min_names: int,
) -> RankIC:
    """Rank IC of a factor panel against `horizon`-ahead returns from `prices`.

    Forward returns are derived here rather than supplied, so the shift cannot
    leak lookahead. Dates with fewer than `min_names` paired observations are
    skipped, never zero-filled.
    """

def simulate_rebalance_policy(
    prices: NDArray[np.float64],
    target_weights: NDArray[np.float64],
    initial_capital: float,
    policy: str,
    policy_param: float,
    segment: str = "equity_delivery",
    min_trade_value: float = 0.0,
    dp_charge_per_isin: float = ...,
    periods_per_year: float = 252.0,
) -> RebalanceSimResult:
    """Simulate following a target-weight series under a rebalance policy.

    `policy` is "calendar" (with `policy_param` = every N dates, >= 1) or "band"
    (with `policy_param` = one-way drift fraction). Costs use the named segment's
    per-leg schedule plus `dp_charge_per_isin` once per distinct asset with a net
    sell per rebalance date.
    """

def indian_cost_schedule(segment: str) -> dict[str, float]:
    """Export a segment's cost schedule, including the DP sell charge.

    This export is the single numeric source of truth for cost parity tests
    against the calling backend's own cost module: the two must never drift.
    """

def compute_tick_entry_signals(
    spread_pct: NDArray[np.float64],
    bsi_delta: NDArray[np.float64],
    return_1m: NDArray[np.float64],
    spread_pct_max: float = 5.0,
    bsi_min: float = 0.0,
    return_1m_min_abs: float = 0.0,
    return_direction: int = 1,
    cooldown_ticks: int = 10,
) -> NDArray[np.bool_]:
    """Compute tick momentum entry signals from per-tick feature arrays.

    spread_pct, bsi_delta and return_1m are per-tick arrays of equal length
    (as from tick_spread_pct, buy_sell_imbalance_delta and return_window).
    A tick enters when spread_pct <= spread_pct_max, bsi_delta >= bsi_min
    (when bsi_min > 0) and return_1m clears return_1m_min_abs in the trade
    direction (when return_1m_min_abs > 0); after an entry the next
    cooldown_ticks ticks cannot enter.
    return_direction: +1 for long (needs positive return_1m), -1 for short.
    """

def compute_tick_exit_signals(
    timestamps_ns: NDArray[np.int64],
    eod_exit_time_ns: int = 0,
) -> NDArray[np.bool_]:
    """Compute time-based exit signals (EOD / session-end).

    Sets exit[i] = True for every tick with timestamp >= eod_exit_time_ns.
    Set eod_exit_time_ns = 0 to disable (returns all False).
    timestamps_ns: nanoseconds-since-epoch for each tick (int64 array).
    """

def tick_spread_pct(bid: NDArray[np.float64], ask: NDArray[np.float64]) -> NDArray[np.float64]:
    """Per-tick bid/ask spread as percentage of mid price.

    Returns 0.0 where both bid and ask are zero.
    """

def buy_sell_imbalance_delta(
    buy_qty_cumulative: NDArray[np.float64],
    sell_qty_cumulative: NDArray[np.float64],
) -> NDArray[np.float64]:
    """Per-tick delta BSI from broker cumulative session totals.

    buy_qty_cumulative / sell_qty_cumulative must be the raw cumulative running sums
    from the broker feed (NOT already-converted deltas). Returns [0, 1] per tick; 0.5 = neutral.
    """

def return_window(
    timestamps_ns: NDArray[np.int64],
    ltp: NDArray[np.float64],
    window_seconds: float = 60.0,
) -> NDArray[np.float64]:
    """Per-tick lookback return over a time window.

    timestamps_ns: nanoseconds-since-epoch for each tick.
    Returns NaN for ticks without sufficient history.
    """

def realized_vol_rolling(
    timestamps_ns: NDArray[np.int64],
    ltp: NDArray[np.float64],
    window_seconds: float = 300.0,
) -> NDArray[np.float64]:
    """Rolling realized volatility proxy: stddev of log-returns over a time window (as %).

    Returns NaN for ticks without at least 2 data points in the window.
    """

def oi_position_pct(
    oi: NDArray[np.float64],
    oi_day_high: float,
    oi_day_low: float,
) -> NDArray[np.float64]:
    """Per-tick OI position within the day's high/low range: [0, 100].

    Returns NaN where oi_day_high <= oi_day_low.
    """

def tick_velocity(timestamps_ns: NDArray[np.int64], window_seconds: float = 60.0) -> NDArray[np.float64]:
    """Rolling tick velocity: ticks per minute over the preceding window_seconds."""

def sma(data: NDArray[np.float64], period: int) -> NDArray[np.float64]:
    """Simple Moving Average.

    A NaN in `data` makes the value of its bar and every later one NaN: the
    running sum carries it. Fill or cut gaps before the call.
    """

def ema(data: NDArray[np.float64], period: int) -> NDArray[np.float64]:
    """Exponential Moving Average.

    A NaN in `data` makes the value of its bar and every later one NaN: the
    average carries it. Fill or cut gaps before the call.
    """

def rsi(data: NDArray[np.float64], period: int) -> NDArray[np.float64]:
    """Relative Strength Index.

    A NaN in `data` makes the value of its bar and every later one NaN: the
    averages of the gains and losses carry it. Fill or cut gaps before the
    call.
    """

def macd(
    data: NDArray[np.float64],
    fast_period: int = 12,
    slow_period: int = 26,
    signal_period: int = 9,
) -> tuple[NDArray[np.float64], NDArray[np.float64], NDArray[np.float64]]:
    """MACD indicator.

    A NaN in `data` makes all three series NaN from its bar on: the averages
    carry it. Fill or cut gaps before the call.
    """

def stochastic(
    high: NDArray[np.float64],
    low: NDArray[np.float64],
    close: NDArray[np.float64],
    k_period: int = 14,
    d_period: int = 3,
) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
    """Stochastic oscillator.

    A NaN close makes %K NaN on its bar only, and %D on the `d_period` bars
    whose mean takes that %K in; a NaN high or low is passed over in its
    window's extreme. Later values are whole again.
    """

def atr(
    high: NDArray[np.float64],
    low: NDArray[np.float64],
    close: NDArray[np.float64],
    period: int,
) -> NDArray[np.float64]:
    """Average True Range.

    A bar's true range leaves out each term a NaN spoils. A bar with no term
    left (two of its high, its low and the previous close NaN, as on a
    missing bar) makes the value of its bar and every later one NaN: the
    average carries it. Fill or cut gaps before the call.
    """

def bollinger_bands(
    data: NDArray[np.float64],
    period: int = 20,
    std_dev: float = 2.0,
) -> tuple[NDArray[np.float64], NDArray[np.float64], NDArray[np.float64]]:
    """Bollinger Bands.

    A NaN in `data` makes all three bands NaN from its bar on: the running
    sum carries it. Fill or cut gaps before the call.
    """

def adx(
    high: NDArray[np.float64],
    low: NDArray[np.float64],
    close: NDArray[np.float64],
    period: int,
) -> NDArray[np.float64]:
    """Average Directional Index.

    A NaN high or low counts as no directional movement. After a bar with
    no true range (two of its high, its low and the previous close NaN, as
    on a missing bar) the smoothed range stays NaN, every later directional
    index counts as 0 and the value decays toward 0 instead of turning NaN.
    Fill or cut gaps before the call.
    """

def vwap(
    high: NDArray[np.float64],
    low: NDArray[np.float64],
    close: NDArray[np.float64],
    volume: NDArray[np.float64],
) -> NDArray[np.float64]:
    """Volume Weighted Average Price.

    A NaN in any of the four columns makes the value of its bar and every
    later one NaN: the cumulative sums carry it. Fill or cut gaps before the
    call.
    """

def supertrend(
    high: NDArray[np.float64],
    low: NDArray[np.float64],
    close: NDArray[np.float64],
    period: int = 10,
    multiplier: float = 3.0,
) -> tuple[NDArray[np.float64], NDArray[np.int8]]:
    """Supertrend indicator.

    Its bands stand on `atr`'s average: after a bar with no true range (two
    of its high, its low and the previous close NaN, as on a missing bar)
    every value is NaN and the direction keeps the sign it had. Fill or cut
    gaps before the call.
    """

def rolling_min(data: NDArray[np.float64], period: int) -> NDArray[np.float64]:
    """Rolling minimum (Lowest Low Value).

    A NaN is passed over; a window of NaN only gives NaN.
    """

def rolling_max(data: NDArray[np.float64], period: int) -> NDArray[np.float64]:
    """Rolling maximum (Highest High Value).

    A NaN is passed over; a window of NaN only gives NaN.
    """
