from typing import Final

SESSION_NSE: Final[float]
SESSION_MCX: Final[float]
SESSION_CDS: Final[float]
SESSION_CONTINUOUS: Final[float]
IST_OFFSET_NS: Final[int]

class BacktestConfig:
    initial_capital: float
    fees: float
    slippage: float
    upon_bar_close: bool
    apply_slippage: bool
    periods_per_year: float | None
    risk_free_rate: float
    session_minutes: float | None
    fee_segment: str | None
    max_positions: int | None
    max_drawdown_pct: float | None
    legacy_annualization: bool
    fill_prob_limit: float
    fill_prob_slippage: float
    queue_fill_model: bool
    partial_fills: bool
    order_latency_ns: int
    session_tz_offset_ns: int
    @property
    def squareoff_time_minutes(self) -> int | None: ...
    limit_slippage: float
    liquidate_on_margin_call: bool
    fill_seed: int
    bar_path_adaptive: bool
    @property
    def fill_timing(self) -> str | None: ...
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
    def set_fixed_stop(self, percent: float) -> None: ...
    def set_atr_stop(self, multiplier: float, period: int) -> None: ...
    def set_trailing_stop(self, percent: float) -> None: ...
    def set_fixed_target(self, percent: float) -> None: ...
    def set_atr_target(self, multiplier: float, period: int) -> None: ...
    def set_risk_reward_target(self, ratio: float) -> None: ...

class InstrumentConfig:
    lot_size: float | None
    alloted_capital: float | None
    existing_qty: float | None
    avg_price: float | None
    def __new__(
        cls,
        lot_size: float | None = None,
        alloted_capital: float | None = None,
        existing_qty: float | None = None,
        avg_price: float | None = None,
    ) -> InstrumentConfig: ...
    def set_fixed_stop(self, percent: float) -> None: ...
    def set_atr_stop(self, multiplier: float, period: int) -> None: ...
    def set_trailing_stop(self, percent: float) -> None: ...
    def set_fixed_target(self, percent: float) -> None: ...
    def set_atr_target(self, multiplier: float, period: int) -> None: ...
    def set_risk_reward_target(self, ratio: float) -> None: ...

class StopConfig:
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

class TargetConfig:
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

class InstrumentSpec:
    @property
    def symbol(self) -> str: ...
    @property
    def kind(self) -> str: ...
    settlement_fee: float
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
    def span_pct(self) -> float: ...
    @property
    def exposure_pct(self) -> float: ...
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
    def strike(self) -> float | None: ...
    @property
    def right(self) -> str | None: ...
    @property
    def underlying(self) -> str | None: ...
    @property
    def tradable(self) -> bool: ...
    @staticmethod
    def equity(symbol: str, price_increment: float = 0.0, lot_size: float = 1.0, size_increment: float = 0.0,
               margin_init: float = 0.0, margin_maint: float = 0.0, maker_fee: float = 0.0,
               taker_fee: float = 0.0) -> InstrumentSpec: ...
    @staticmethod
    def futures_contract(symbol: str, expiration_ns: int, lot_size: float, multiplier: float = 1.0,
                         price_increment: float = 0.0, underlying: str | None = None,
                         activation_ns: int | None = None, margin_init: float = 0.0, margin_maint: float = 0.0,
                         maker_fee: float = 0.0, taker_fee: float = 0.0) -> InstrumentSpec: ...
    @staticmethod
    def perpetual(symbol: str, lot_size: float = 1.0, multiplier: float = 1.0, price_increment: float = 0.0,
                  size_increment: float = 0.0, underlying: str | None = None, margin_init: float = 0.0,
                  margin_maint: float = 0.0, maker_fee: float = 0.0, taker_fee: float = 0.0) -> InstrumentSpec: ...
    @staticmethod
    def option(symbol: str, strike: float, right: str, expiration_ns: int, lot_size: float, multiplier: float = 1.0,
               price_increment: float = 0.0, underlying: str | None = None, binary: bool = False,
               activation_ns: int | None = None, margin_init: float = 0.0, margin_maint: float = 0.0,
               maker_fee: float = 0.0, taker_fee: float = 0.0, span_pct: float = 0.0,
               exposure_pct: float = 0.0) -> InstrumentSpec: ...
    @staticmethod
    def currency_pair(symbol: str, price_increment: float = 0.0, size_increment: float = 0.0, lot_size: float = 1.0,
                      margin_init: float = 0.0, margin_maint: float = 0.0, maker_fee: float = 0.0,
                      taker_fee: float = 0.0) -> InstrumentSpec: ...
    @staticmethod
    def index(symbol: str, price_increment: float = 0.0) -> InstrumentSpec: ...

def resolve_atr_period(config: BacktestConfig | None = None,
                       instrument_config: InstrumentConfig | None = None) -> int | None: ...
