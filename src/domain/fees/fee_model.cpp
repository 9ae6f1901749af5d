#include "domain/fees/fee_model.h"

#include <cmath>

#include "domain/fees/segment_text.h"

namespace tarnwick::domain {

std::string_view name(FeeKind kind) noexcept {
    switch (kind) {
        case FeeKind::Zero: return "zero";
        case FeeKind::Fraction: return "fraction";
        case FeeKind::PerOrder: return "per_order";
        case FeeKind::PerUnit: return "per_unit";
        case FeeKind::Tiered: return "tiered";
        case FeeKind::FixedPlusPerUnit: return "fixed_plus_per_unit";
        case FeeKind::Segment: return "segment";
    }
    return "zero";
}

std::optional<CostSegment> FeeModel::cost_segment() const noexcept {
    if (const auto* s = std::get_if<SegmentFee>(&payload_)) return s->segment;
    return std::nullopt;
}

FillCharge FeeModel::charge(double price, double quantity, bool is_buy) const noexcept {
    const double units = std::fabs(quantity);
    const double value = units * price;
    switch (kind()) {
        case FeeKind::Zero: return {std::get_if<ZeroFee>(&payload_)->cost(units, value), std::nullopt};
        case FeeKind::Fraction: return {std::get_if<FractionFee>(&payload_)->cost(units, value), std::nullopt};
        case FeeKind::PerOrder: return {std::get_if<PerOrderFee>(&payload_)->cost(units, value), std::nullopt};
        case FeeKind::PerUnit: return {std::get_if<PerUnitFee>(&payload_)->cost(units, value), std::nullopt};
        case FeeKind::Tiered: return {std::get_if<TieredFee>(&payload_)->cost(units, value), std::nullopt};
        case FeeKind::FixedPlusPerUnit:
            return {std::get_if<FixedPlusPerUnitFee>(&payload_)->cost(units, value), std::nullopt};
        case FeeKind::Segment: {
            // A segment prices the absolute value, whatever the sign of the price.
            const FeeBreakdown lines =
                segment_fill_charges(std::get_if<SegmentFee>(&payload_)->segment, std::fabs(value), is_buy);
            return {fill_total(lines), lines};
        }
    }
    return {0.0, std::nullopt};
}

double FeeModel::fee(double price, double quantity, bool is_buy) const noexcept {
    return charge(price, quantity, is_buy).total;
}

FeeModel resolve_fee_model(std::optional<std::string_view> fee_segment, double fees) {
    if (fee_segment) {
        if (const auto segment = segment_from_exchange_text(*fee_segment)) return FeeModel::segment(*segment);
    }
    return FeeModel::fraction(fees);
}

FeeModel resolve_fee_model(const BacktestConfig& config) {
    if (config.fee_segment) return resolve_fee_model(std::string_view(*config.fee_segment), config.fees);
    return resolve_fee_model(std::nullopt, config.fees);
}

}  // namespace tarnwick::domain
