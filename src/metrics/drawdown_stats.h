// The figures of a drawdown curve (percent below the running high, one sample per
// equity sample), gathered in one pass that can run beside the returns' own.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "metrics/lanes.h"

namespace tarnwick::metrics {

struct DrawdownStats {
    double max_pct = 0.0;                     // the deepest sample, at least 0 (NaN never deeper)
    std::uint64_t max_duration = 0;           // the longest stretch of samples above 0
    std::optional<double> max_duration_secs;  // that stretch's first to last timestamp
    double ulcer_index = 0.0;                 // sqrt(sum d^2 / n), NaN when a sample is NaN
    double time_under_water_pct = 0.0;        // share of samples above 0
    std::optional<double> avg_pct;            // mean of the samples above 0
};

// The pass: samples fed in order, one at a time or two at a time, each with its index.
// The two sums (squares, and the samples above 0) run in sample order from -0.0.
class DrawdownPass {
public:
    // Samples i and i + 1.
    void add_pair(lanes::Lanes d, std::size_t i) noexcept {
        deepest_ = lanes::above_or(d, deepest_);  // NaN never deeper
        const lanes::Lanes squares = d * d;
        sum_sq_ += squares[0];
        sum_sq_ += squares[1];
        const lanes::Lanes under = lanes::positive_or_negative_zero(d);
        sum_under_ += under[0];
        sum_under_ += under[1];
        const lanes::LaneMask above = d > lanes::splat(0.0);
        under_ -= above;
        stretch_pair(lanes::bits(above), i);
    }

    void add(double d, std::size_t i) noexcept {
        if (d > deepest_[0]) deepest_[0] = d;
        sum_sq_ += d * d;
        const bool above = d > 0.0;
        sum_under_ += lanes::kept_or_negative_zero(above, d);
        under_[0] += above ? 1 : 0;
        stretch_one(above, i);
    }

    // The figures over the `n` samples fed; the stretch in seconds when `timestamps` (two
    // or more) reach its last sample.
    DrawdownStats finish(std::size_t n, std::span<const std::int64_t> timestamps) const;

private:
    // Runs of samples above 0, lengthened under water and weighed when they end: a run
    // longer than every one before it is the longest so far, so the earliest of the
    // longest stays. `above` holds the bits of samples i and i + 1.
    void stretch_pair(int above, std::size_t i) noexcept {
        if (above == 3) {  // under water, as a curve mostly is
            run_ += 2;
            return;
        }
        if (above == 0 && run_ == 0) return;
        stretch_one((above & 1) != 0, i);
        stretch_one((above & 2) != 0, i + 1);
    }
    void stretch_one(bool above, std::size_t i) noexcept {
        if (above) {
            ++run_;
        } else if (run_ > 0) {
            if (run_ > longest_) {
                longest_ = run_;
                longest_last_ = i - 1;
            }
            run_ = 0;
        }
    }

    lanes::Lanes deepest_ = {0.0, 0.0};
    double sum_sq_ = -0.0;
    double sum_under_ = -0.0;
    lanes::LaneMask under_ = {0, 0};
    std::uint64_t run_ = 0;
    std::uint64_t longest_ = 0;
    std::size_t longest_last_ = 0;
};

}  // namespace tarnwick::metrics
