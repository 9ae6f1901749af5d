// Inputs of the array-runner scenarios: daily bars built from a list of closes, signal
// bytes set at given bars, and the helpers that read a run back.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <limits>
#include <numeric>
#include <span>
#include <string>
#include <vector>

#include "domain/trade_record.h"
#include "engine/core_session.h"
#include "runners/instrument_series.h"
#include "runners/single_driver.h"

namespace tarnwick::testing_support {

inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
inline constexpr double kInf = std::numeric_limits<double>::infinity();
inline constexpr std::int64_t kDayNs = 86'400'000'000'000;

// One instrument's six columns, owned; the open is the close unless given.
struct Bars {
    std::vector<std::int64_t> timestamps;
    std::vector<double> open, high, low, close, volume;

    static Bars from(std::vector<double> close, std::vector<double> open = {}) {
        Bars b;
        const std::size_t n = close.size();
        b.open = open.empty() ? close : std::move(open);
        b.close = std::move(close);
        b.high = b.close;
        b.low = b.close;
        b.volume.assign(n, 1000.0);
        b.timestamps.resize(n);
        for (std::size_t i = 0; i < n; ++i) b.timestamps[i] = static_cast<std::int64_t>(i) * kDayNs;
        return b;
    }
    runners::single::BarSeries series() const { return {timestamps, open, high, low, close, volume}; }
};

// n signal bytes, set at the given bars.
inline std::vector<std::uint8_t> flags(std::size_t n, const std::vector<std::size_t>& set = {}) {
    std::vector<std::uint8_t> out(n, 0);
    for (const std::size_t i : set) out.at(i) = 1;
    return out;
}

// One instrument of the multi-instrument runners: its bars and its signals, owned.
struct Instrument {
    Bars bars;
    std::vector<std::uint8_t> entries, exits;
    std::int8_t direction = 1;
    double weight = 1.0;
    std::string symbol = "A";

    runners::InstrumentSeries series() const {
        runners::single::SignalInput s;
        s.symbol = symbol;
        s.entries = entries;
        s.exits = exits;
        s.weight = weight;
        s.direction = direction;
        return {bars.series(), std::move(s)};
    }
};

inline std::vector<runners::InstrumentSeries> series_of(const std::vector<Instrument>& list) {
    std::vector<runners::InstrumentSeries> out;
    for (const Instrument& in : list) out.push_back(in.series());
    return out;
}

template <class C>
std::vector<double> values(const C& curve) {
    return std::vector<double>(curve.begin(), curve.end());
}

inline double pnl_sum(std::span<const domain::TradeRecord> trades) {
    double sum = 0.0;
    for (const domain::TradeRecord& t : trades) sum += t.pnl;
    return sum;
}

}  // namespace tarnwick::testing_support

namespace tarnwick::testing_support {

// One closed trade as a scenario expects it.
struct Trip {
    std::uint64_t entry_idx, exit_idx;
    double exit_price, pnl;
    domain::ExitReason reason;
};

inline void expect_trips(std::span<const domain::TradeRecord> got, const std::vector<Trip>& want, double tol = 1e-9) {
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t k = 0; k < want.size(); ++k) {
        EXPECT_EQ(got[k].entry_idx, want[k].entry_idx) << "trade " << k;
        EXPECT_EQ(got[k].exit_idx, want[k].exit_idx) << "trade " << k;
        EXPECT_NEAR(got[k].exit_price, want[k].exit_price, tol) << "trade " << k;
        EXPECT_NEAR(got[k].pnl, want[k].pnl, tol) << "trade " << k;
        EXPECT_EQ(got[k].exit_reason, want[k].reason) << "trade " << k;
    }
}

// The fees on the records: each its entry fee, its total the entry and exit fees, no exit
// fee on a position still open at the end (valued, not sold); and the records' pnl adds up
// to the run's equity change from `capital`.
inline void expect_fee_records(const engine::RunOutput& r, const std::vector<double>& entry_fees, double capital) {
    ASSERT_EQ(r.trades.size(), entry_fees.size());
    for (std::size_t k = 0; k < r.trades.size(); ++k) {
        const domain::TradeRecord& t = r.trades[k];
        EXPECT_NEAR(t.entry_fees, entry_fees[k], 1e-9) << "trade " << k;
        EXPECT_NEAR(t.fees, t.entry_fees + t.exit_fees, 1e-9) << "trade " << k;
        if (t.exit_reason == domain::ExitReason::EndOfData) {
            EXPECT_EQ(t.exit_fees, 0.0) << "trade " << k;
        }
    }
    ASSERT_FALSE(r.equity_curve.empty());
    EXPECT_NEAR(pnl_sum(r.trades), r.equity_curve.back() - capital, 1e-9);
}

// Element by element within `tol`; a NaN anywhere fails.
template <class C>
void expect_curve(const C& got, const std::vector<double>& want, double tol = 1e-9) {
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i) EXPECT_NEAR(got[i], want[i], tol) << "sample " << i;
}

}  // namespace tarnwick::testing_support
