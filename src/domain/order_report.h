// The reported form of one order the kernel handled: its enumerations as text, its fill
// history summed up. Built when an order first fills or is rejected (or when the run
// finishes), then kept up to date with the order's later fills.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

namespace tarnwick::domain {

struct Order {
    std::uint64_t id = 0;
    std::string client_id;
    std::string symbol;
    std::string side;    // "buy" or "sell"
    std::string kind;    // "market", "limit", "stop_market", ...
    std::string tif;     // "gtc", "day", "gtd", ...
    std::string status;  // "submitted", "accepted", ..., "rejected"
    std::uint64_t submitted_idx = 0;
    std::int64_t submitted_ts = 0;        // nanoseconds since the Unix epoch
    std::optional<double> requested_qty;  // absent when the request named a capital fraction
    double filled_qty = 0.0;              // units, summed over every slice
    std::optional<double> avg_fill_price;  // size-weighted; absent until something filled
    std::optional<std::uint64_t> last_fill_idx;
    std::uint32_t fill_slices = 0;
    std::optional<double> limit_price;
    std::optional<double> trigger_price;
    std::optional<std::string> reject_reason;  // snake_case identifier
    std::optional<std::uint64_t> parent_id;
    std::optional<std::uint64_t> oco_group;

    // Folds one fill of `qty` units at `price` into the summary. The average stays
    // absent while the filled quantity is not above zero.
    void record_fill(double price, double qty, std::uint64_t idx) noexcept {
        const double before = filled_qty;
        const double total = before + qty;
        const double previous_avg = avg_fill_price.value_or(0.0);
        filled_qty = total;
        if (total > 0.0) {
            avg_fill_price = (previous_avg * before + price * qty) / total;
        } else {
            avg_fill_price.reset();
        }
        last_fill_idx = idx;
        if (fill_slices < std::numeric_limits<std::uint32_t>::max()) ++fill_slices;
    }

    void record_reject(std::string_view reason) { reject_reason.emplace(reason); }
};

}  // namespace tarnwick::domain
