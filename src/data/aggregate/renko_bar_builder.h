// Renko bricks: fixed-size price moves from an anchor on the brick grid. One record may
// complete many bricks; push returns the oldest and the rest wait in a queue for
// next_pending. There is no partial brick.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "data/aggregate/bar_builder.h"

namespace tarnwick::aggregate {

// Bricks one push forms at most; a larger move re-anchors on the grid without the rest.
inline constexpr std::uint64_t kRenkoMaxBricksPerPush = 10'000;

class RenkoBarBuilder final : public BarBuilder {
public:
    // brick > 0 and finite.
    explicit RenkoBarBuilder(double brick);

    std::optional<OhlcvBar> push(const SourceRecord& record) override;
    // Both hand out the oldest waiting brick; the anchor and queue outlive a flush.
    std::optional<OhlcvBar> flush() override { return pop(); }
    std::optional<OhlcvBar> next_pending() override { return pop(); }

    std::optional<double> anchor() const noexcept { return anchor_; }

private:
    double grid_floor(double price) const noexcept;
    std::optional<OhlcvBar> pop() noexcept;

    double brick_;
    std::optional<double> anchor_;
    // Waiting bricks are pending_[head_ ..]; the buffer is reused once drained.
    std::vector<OhlcvBar> pending_;
    std::size_t head_ = 0;
};

}  // namespace tarnwick::aggregate
