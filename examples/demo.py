"""A real backtest: a moving-average crossover with an ATR stop on twenty years of daily
S&P 500 bars, charged a flat 0.05 % of traded value per fill as a US index trades, then
the same strategy swept over 50 parameter pairs in one parallel batch.

The price history is the daily S&P 500 series that the `arch` package ships inside its
wheel, so the demo needs no network once its dependencies are installed."""

import time

import numpy as np
from arch.data import sp500

import tarnwick as tw


def load_bars():
    frame = sp500.load()
    # pandas keeps the index in microseconds; the engine takes nanoseconds since the epoch.
    timestamps = frame.index.as_unit("ns").asi8
    columns = [np.ascontiguousarray(frame[name].to_numpy(dtype=np.float64))
               for name in ("Open", "High", "Low", "Close", "Volume")]
    return (timestamps, *columns), frame.index[0].date(), frame.index[-1].date()


def crossover(close, fast, slow):
    """Entries where the fast average crosses above the slow one, exits where it crosses below."""
    f, s = tw.sma(close, fast), tw.sma(close, slow)
    above = np.nan_to_num(f - s, nan=0.0) > 0.0
    before = np.concatenate([[False], above[:-1]])
    return above & ~before, ~above & before


def config():
    c = tw.BacktestConfig(initial_capital=1_000_000.0, fees=0.0005, fill_timing="next_bar_open",
                          periods_per_year=252.0)
    c.set_atr_stop(3.0, 14)
    return c


def show_metrics(result):
    m = result.metrics
    rows = [
        ("Start value", f"{m.start_value:,.2f}"),
        ("End value", f"{m.end_value:,.2f}"),
        ("Total return", f"{m.total_return_pct:.2f} %"),
        ("Max drawdown", f"{m.max_drawdown_pct:.2f} %"),
        ("Sharpe ratio", f"{m.sharpe_ratio:.3f}"),
        ("Sortino ratio", "n/a" if m.sortino_ratio is None else f"{m.sortino_ratio:.3f}"),
        ("Trades (closed/open)", f"{m.total_closed_trades}/{m.total_open_trades}"),
        ("Win rate", f"{m.win_rate_pct:.1f} %"),
        ("Profit factor", "n/a" if m.profit_factor is None else f"{m.profit_factor:.2f}"),
        ("Fees paid", f"{m.total_fees_paid:,.2f}"),
        ("Exposure", f"{m.exposure_pct:.1f} %"),
    ]
    for name, value in rows:
        print(f"  {name:<22}{value:>18}")


def show_trades(result, dates, count=8):
    header = f"  {'entry':<12}{'exit':<12}{'size':>10}{'entry px':>11}{'exit px':>11}{'pnl':>13}{'fees':>10}  reason"
    print(header)
    print("  " + "-" * (len(header) - 2))
    for t in result.trades()[:count]:
        print(f"  {str(dates[t.entry_idx]):<12}{str(dates[t.exit_idx]):<12}{t.size:>10.2f}{t.entry_price:>11.2f}"
              f"{t.exit_price:>11.2f}{t.pnl:>13,.2f}{t.fees:>10,.2f}  {t.exit_reason}")


def main():
    bars, first, last = load_bars()
    close = bars[4]
    dates = np.array(bars[0], dtype="datetime64[ns]").astype("datetime64[D]")
    print(f"S&P 500 daily bars: {len(close)} sessions, {first} .. {last}")

    fast, slow = 20, 100
    entries, exits = crossover(close, fast, slow)
    started = time.perf_counter()
    result = tw.run_single_backtest(*bars, entries, exits, symbol="SPX", config=config())
    took = time.perf_counter() - started
    print(f"\nSMA({fast})/SMA({slow}) crossover, 3 x ATR(14) stop, 0.05 % fees, next-bar-open fills"
          f" ({took * 1e3:.1f} ms)")
    show_metrics(result)
    print("\nFirst trades")
    show_trades(result, dates)

    grid = [(f, s) for f in (5, 10, 15, 20, 30) for s in (40, 60, 80, 100, 120, 140, 160, 180, 200, 250)]
    items = []
    for f, s in grid:
        e, x = crossover(close, f, s)
        items.append(tw.BatchSingleItem(f"{f}/{s}", e, x, symbol="SPX"))
    started = time.perf_counter()
    swept = tw.batch_single_backtest(*bars, items, config())
    took = time.perf_counter() - started
    print(f"\nSweep: {len(grid)} fast/slow pairs in one batch ({took * 1e3:.1f} ms)")
    ranked = sorted(swept, key=lambda pair: pair[1].metrics.sharpe_ratio, reverse=True)
    print(f"  {'fast/slow':<11}{'sharpe':>8}{'return %':>11}{'max dd %':>10}{'trades':>8}")
    for item_id, r in ranked[:5]:
        m = r.metrics
        print(f"  {item_id:<11}{m.sharpe_ratio:>8.3f}{m.total_return_pct:>11.2f}{m.max_drawdown_pct:>10.2f}"
              f"{m.total_trades:>8}")


if __name__ == "__main__":
    main()
