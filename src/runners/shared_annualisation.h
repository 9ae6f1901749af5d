// The periods per year the metrics of a batch's runs infer from their shared timestamps.
//
// The inference reads every timestamp and depends on nothing else but the session
// minutes, so a batch works it out once per distinct setting and hands it to each run as
// an explicit value, which the metrics then use as is: the same figure, found once.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "domain/backtest_config.h"
#include "metrics/annualization.h"

namespace tarnwick::runners {

class SharedAnnualisation {
public:
    explicit SharedAnnualisation(std::span<const std::int64_t> timestamps) : timestamps_(timestamps) {}

    // What a run under `c` would infer, or nothing when its settings fix the figure (the
    // legacy constant, or an explicit value above 0).
    std::optional<double> for_config(const domain::BacktestConfig& c) {
        if (c.legacy_annualization || (c.periods_per_year && *c.periods_per_year > 0.0)) return std::nullopt;
        for (const auto& [minutes, periods] : known_) {
            if (same(minutes, c.session_minutes)) return periods;
        }
        const double periods =
            metrics::annualization::run_periods_per_year(false, std::nullopt, c.session_minutes, timestamps_);
        known_.emplace_back(c.session_minutes, periods);
        return periods;
    }

private:
    // Bit for bit, so that NaN minutes find their own entry.
    static bool same(const std::optional<double>& a, const std::optional<double>& b) {
        if (a.has_value() != b.has_value()) return false;
        return !a || std::memcmp(&*a, &*b, sizeof(double)) == 0;
    }

    std::span<const std::int64_t> timestamps_;
    std::vector<std::pair<std::optional<double>, double>> known_;
};

}  // namespace tarnwick::runners
