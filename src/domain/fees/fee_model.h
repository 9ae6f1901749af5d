// How every simulated fill is charged: one closed set of fee kinds, chosen once per run
// or session and evaluated per fill. Evaluation allocates nothing and dispatches once on
// the kind (and, for a segment, once on the segment).
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <variant>
#include <vector>

#include "domain/backtest_config.h"
#include "domain/fees/cost_segment.h"
#include "domain/fees/flat.h"
#include "domain/fees/tiered.h"
#include "domain/trade_record.h"

namespace tarnwick::domain {

enum class FeeKind : std::uint8_t {
    Zero = 0,
    Fraction = 1,
    PerOrder = 2,
    PerUnit = 3,
    Tiered = 4,
    FixedPlusPerUnit = 5,
    Segment = 6,
};

std::string_view name(FeeKind kind) noexcept;

struct SegmentFee {
    CostSegment segment;
};

// The cost of one fill and, under a cost segment only, its six itemised lines.
struct FillCharge {
    double total = 0.0;
    std::optional<FeeBreakdown> breakdown;
};

class FeeModel {
public:
    static FeeModel zero() noexcept { return FeeModel(ZeroFee{}); }
    static FeeModel fraction(double rate) noexcept { return FeeModel(FractionFee{rate}); }
    static FeeModel per_order(double amount) noexcept { return FeeModel(PerOrderFee{amount}); }
    static FeeModel per_unit(double rate) noexcept { return FeeModel(PerUnitFee{rate}); }
    static FeeModel tiered(std::vector<FeeTier> tiers) { return FeeModel(TieredFee{std::move(tiers)}); }
    static FeeModel fixed_plus_per_unit(double fixed, double rate) noexcept {
        return FeeModel(FixedPlusPerUnitFee{fixed, rate});
    }
    static FeeModel segment(CostSegment s) noexcept { return FeeModel(SegmentFee{s}); }

    FeeKind kind() const noexcept { return static_cast<FeeKind>(payload_.index()); }
    // The segment of a Segment model, None for every other kind.
    std::optional<CostSegment> cost_segment() const noexcept;
    bool itemises() const noexcept { return kind() == FeeKind::Segment; }

    // Total cost of one fill. The sign of `quantity` is ignored; `is_buy` is the side of
    // the fill itself (a long entry and a short exit are buys) and matters only under a
    // cost segment.
    double fee(double price, double quantity, bool is_buy) const noexcept;

    // The same total together with the segment's six lines (none under other kinds).
    FillCharge charge(double price, double quantity, bool is_buy) const noexcept;

    // Read access to the payload of a given kind, for callers that need the rate itself.
    template <class T>
    const T* as() const noexcept {
        return std::get_if<T>(&payload_);
    }

private:
    using Payload =
        std::variant<ZeroFee, FractionFee, PerOrderFee, PerUnitFee, TieredFee, FixedPlusPerUnitFee, SegmentFee>;
    template <class T>
    explicit FeeModel(T payload) : payload_(std::move(payload)) {}

    Payload payload_;
};

// An unset segment text, or one naming no known exchange, charges the flat fraction
// `fees` of traded value; a recognised text charges its cost segment. Never fails.
FeeModel resolve_fee_model(std::optional<std::string_view> fee_segment, double fees);
FeeModel resolve_fee_model(const BacktestConfig& config);

}  // namespace tarnwick::domain
