// How little money is no money to size a position from.
#pragma once

namespace tarnwick::domain {

// Capital below this fraction of the account's initial capital is rounding residue.
inline constexpr double kDustCapitalFraction = 1e-9;

// Whether `capital` is too little to size any position from: below 1e-9 of the account's
// `initial_capital`. After one entry commits the whole account, what is left is the
// rounding of the cost against the cash, about 1e-16 of the sums involved and of either
// sign; an entry sized from it would be a phantom position of some 1e-13 units. The
// threshold is measured against the capital the run started with, not the marks of the
// moment, so a kernel standing alone, a kernel lending from a shared pool and the pool's
// own allotment all judge the same amount alike. Zero and negative capital are below it
// whenever the initial capital is positive.
inline bool is_dust_capital(double capital, double initial_capital) noexcept {
    return capital < kDustCapitalFraction * initial_capital;
}

}  // namespace tarnwick::domain
