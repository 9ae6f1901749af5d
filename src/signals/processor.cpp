#include "signals/processor.h"

#include "core/format.h"

namespace tarnwick::signals::processor {

Status<OwnError> check_lengths(std::size_t entries, std::size_t exits) {
    if (entries != exits) {
        return err(OwnError{fmt::format("Entry and exit arrays must have same length: entries {}, exits {}",
                                        entries, exits)});
    }
    return Unit{};
}

Result<Processed, OwnError> process(std::span<const std::uint8_t> entries, std::span<const std::uint8_t> exits) {
    if (auto st = check_lengths(entries.size(), exits.size()); !st.ok()) return err(std::move(st).error());
    Processed out;
    out.entries.assign(entries.size(), 0);
    out.exits.assign(entries.size(), 0);
    Stream s;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const Flags f = s.next(entries[i] != 0, exits[i] != 0);
        out.entries[i] = f.entry ? 1 : 0;
        out.exits[i] = f.exit ? 1 : 0;
    }
    return out;
}

}  // namespace tarnwick::signals::processor
