// A closed round trip (or the closed part of one) and the itemised charges it carried.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tarnwick::domain {

// Why a position was closed. The numeric codes are stable and reach callers as data.
enum class ExitReason : std::uint8_t {
    Signal = 0,
    StopLoss = 1,
    TakeProfit = 2,
    TrailingStop = 3,
    EndOfData = 4,
    Order = 5,
    Settlement = 6,
    Liquidation = 7,
    TimeExit = 8,
    Squareoff = 9,
};

// The variant's name exactly as written ("StopLoss", "EndOfData", ...).
constexpr std::string_view name(ExitReason reason) noexcept {
    switch (reason) {
        case ExitReason::Signal: return "Signal";
        case ExitReason::StopLoss: return "StopLoss";
        case ExitReason::TakeProfit: return "TakeProfit";
        case ExitReason::TrailingStop: return "TrailingStop";
        case ExitReason::EndOfData: return "EndOfData";
        case ExitReason::Order: return "Order";
        case ExitReason::Settlement: return "Settlement";
        case ExitReason::Liquidation: return "Liquidation";
        case ExitReason::TimeExit: return "TimeExit";
        case ExitReason::Squareoff: return "Squareoff";
    }
    return "Signal";  // unreachable for a valid enumerator
}

// Itemised charges under an Indian cost segment, in the price currency.
struct FeeBreakdown {
    double brokerage = 0.0;
    double stt = 0.0;  // securities (or commodities) transaction tax
    double exchange_txn = 0.0;
    double sebi_fee = 0.0;
    double stamp_duty = 0.0;
    double gst = 0.0;

    // The six lines added left to right in declaration order. This is the "total" the
    // trade reports; a single fill's charge is summed in its own order (see FeeModel).
    constexpr double total() const noexcept {
        return brokerage + stt + exchange_txn + sebi_fee + stamp_duty + gst;
    }

    // Line-by-line sum: the carried entry lines plus a closing fill's lines.
    constexpr FeeBreakdown& operator+=(const FeeBreakdown& o) noexcept {
        brokerage += o.brokerage;
        stt += o.stt;
        exchange_txn += o.exchange_txn;
        sebi_fee += o.sebi_fee;
        stamp_duty += o.stamp_duty;
        gst += o.gst;
        return *this;
    }
    friend constexpr FeeBreakdown operator+(FeeBreakdown a, const FeeBreakdown& b) noexcept {
        a += b;
        return a;
    }
};

struct TradeRecord {
    std::uint64_t id = 0;
    std::string symbol;
    std::uint64_t entry_idx = 0;
    std::uint64_t exit_idx = 0;
    double entry_price = 0.0;
    double exit_price = 0.0;  // after slippage where the close applies it
    double size = 0.0;        // closed quantity in units; direction is separate
    std::int8_t direction = 1;  // 1 long, -1 short
    double pnl = 0.0;           // net of entry and exit fees
    double return_pct = 0.0;    // percent, not a fraction
    std::int64_t entry_time = 0;  // nanoseconds since the Unix epoch
    std::int64_t exit_time = 0;   // nanoseconds since the Unix epoch
    double fees = 0.0;            // entry_fees + exit_fees
    double entry_fees = 0.0;
    double exit_fees = 0.0;
    std::optional<FeeBreakdown> fee_breakdown;  // only under a cost segment
    ExitReason exit_reason = ExitReason::Signal;
    // Excursions are absent on paths that synthesise trades rather than close a tracked
    // position; absent means "not measured", never zero.
    std::optional<double> mae_price;
    std::optional<double> mfe_price;
    std::optional<double> mae_pnl;  // never positive
    std::optional<double> mfe_pnl;  // never negative
};

}  // namespace tarnwick::domain
