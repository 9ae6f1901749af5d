// The size check the two batch functions share. Items may all be one object, so a batch's
// results can dwarf its inputs; the check comes before any item is prepared or run.
#pragma once

#include <cstddef>

#include "base/format.h"
#include "base/output_size.h"

namespace tarnwick::runners {

// Three curves (equity, drawdown, returns) of one value per bar per item against what the
// process can get now: throws OutOfMemory, naming the byte count, when it cannot hold
// them.
inline void check_batch_output_size(std::size_t items, std::size_t bars) {
    constexpr std::size_t kCurvesPerRun = 3;
    base::check_total({items, bars, kCurvesPerRun, sizeof(double)},
                      base::fmt::format("the results of {} items over {} bars", items, bars));
}

}  // namespace tarnwick::runners
