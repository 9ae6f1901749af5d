"""A first look at the engine: build a backtest configuration and show it."""

import tarnwick as tw

config = tw.BacktestConfig(
    initial_capital=200_000.0,
    fee_segment="NSE",
    session_minutes=tw.SESSION_NSE,
    squareoff_time="15:20",
    fill_timing="next_bar_open",
)
config.set_atr_stop(2.0, 14)

print("tarnwick configuration")
for name in ("initial_capital", "fees", "fee_segment", "session_minutes", "squareoff_time_minutes", "fill_timing"):
    print(f"  {name:<24} {getattr(config, name)!r}")
