// Exchange-style segment texts ("NSE", "nse-delivery", "NFO-OPT", "MCX-FUT", "BCD-CE")
// as users write them in the backtest configuration.
#pragma once

#include <optional>
#include <string_view>

#include "domain/fees/cost_segment.h"

namespace tarnwick::domain {

// The text is split at its first '-' into an exchange word and a product word, both
// compared upper-cased (ASCII letters only; nothing is trimmed). The exchange word must
// be one of NSE, BSE, NFO, BFO, MCX, CDS, BCD; the product words CE, PE and OPT select
// the option schedule of a derivatives exchange, DELIVERY the delivery schedule of an
// equity exchange, and anything else the default schedule. None for any other exchange.
std::optional<CostSegment> segment_from_exchange_text(std::string_view text) noexcept;

}  // namespace tarnwick::domain
