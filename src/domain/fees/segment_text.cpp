#include "domain/fees/segment_text.h"

namespace tarnwick::domain {

namespace {

char ascii_upper(char c) noexcept { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

// Case-insensitive (ASCII) comparison with an upper-case literal, no allocation.
bool equals_upper(std::string_view word, std::string_view upper) noexcept {
    if (word.size() != upper.size()) return false;
    for (std::size_t i = 0; i < word.size(); ++i) {
        if (ascii_upper(word[i]) != upper[i]) return false;
    }
    return true;
}

}  // namespace

std::optional<CostSegment> segment_from_exchange_text(std::string_view text) noexcept {
    std::string_view exchange = text;
    std::string_view product;  // empty both when missing and after a trailing '-'
    if (const auto dash = text.find('-'); dash != std::string_view::npos) {
        exchange = text.substr(0, dash);
        product = text.substr(dash + 1);
    }
    const bool option = equals_upper(product, "CE") || equals_upper(product, "PE") || equals_upper(product, "OPT");
    const bool delivery = equals_upper(product, "DELIVERY");

    if (equals_upper(exchange, "NSE") || equals_upper(exchange, "BSE")) {
        return delivery ? CostSegment::EquityDelivery : CostSegment::EquityIntraday;
    }
    if (equals_upper(exchange, "NFO") || equals_upper(exchange, "BFO")) {
        return option ? CostSegment::OptionsNfo : CostSegment::FuturesNfo;
    }
    if (equals_upper(exchange, "MCX")) {
        return option ? CostSegment::OptionsMcx : CostSegment::FuturesMcx;
    }
    if (equals_upper(exchange, "CDS") || equals_upper(exchange, "BCD")) {
        return option ? CostSegment::OptionsCds : CostSegment::FuturesCds;
    }
    return std::nullopt;
}

}  // namespace tarnwick::domain
