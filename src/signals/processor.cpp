#include "signals/processor.h"

#include "base/format.h"

namespace tarnwick::signals::processor {

using base::OwnError;
using base::Result;
using base::Status;
using base::Unit;
using base::err;

Status<OwnError> check_lengths(std::size_t entries, std::size_t exits) {
    if (entries != exits) {
        return err(OwnError{
            base::fmt::format("Entry and exit arrays must have same length: entries {}, exits {}", entries, exits)});
    }
    return Unit{};
}

Result<std::vector<std::size_t>, OwnError> signal_bars(std::span<const std::uint8_t> entries,
                                                       std::span<const std::uint8_t> exits) {
    if (auto st = check_lengths(entries.size(), exits.size()); !st.ok()) return err(std::move(st).error());
    std::vector<std::size_t> bars;
    Cursor cursor(entries, exits);
    for (auto s = cursor.next(); s.bar < entries.size(); s = cursor.next()) bars.push_back(s.bar);
    return bars;
}

Result<Processed, OwnError> process(std::span<const std::uint8_t> entries, std::span<const std::uint8_t> exits) {
    auto bars = signal_bars(entries, exits);
    if (!bars.ok()) return err(std::move(bars).error());
    Processed out;
    out.entries.assign(entries.size(), 0);
    out.exits.assign(entries.size(), 0);
    for (std::size_t j = 0; j < bars.value().size(); ++j) (j % 2 == 0 ? out.entries : out.exits)[bars.value()[j]] = 1;
    return out;
}

}  // namespace tarnwick::signals::processor
