// The bar parameters that both sessions' methods share, as the groups their bodies take:
// one bar's values (KernelSession.step, PortfolioSession.push_bar) and the strategy's
// intents for it (KernelSession.step, PortfolioSession.apply_current). Each group is the
// engine record itself, so a body hands it on without copying.
#pragma once

#include <tuple>

#include "domain/bar.h"
#include "python/signature.h"

namespace tarnwick::python {

struct BarValues : domain::OhlcvBar {
    static constexpr auto members =
        std::tuple{&domain::OhlcvBar::timestamp, &domain::OhlcvBar::open, &domain::OhlcvBar::high,
                   &domain::OhlcvBar::low,       &domain::OhlcvBar::close, &domain::OhlcvBar::volume};
};

inline constexpr Param kBarValueParams[] = {"timestamp", "open", "high", "low", "close", "volume"};

struct BarIntents : domain::BarSignal {
    static constexpr auto members =
        std::tuple{&domain::BarSignal::entry,     &domain::BarSignal::exit,       &domain::BarSignal::atr,
                   &domain::BarSignal::size_mult, &domain::BarSignal::stop_price, &domain::BarSignal::target_price};
};

inline constexpr Param kBarIntentParams[] = {{"entry", false},     {"exit", false},       {"atr", 0.0},
                                             {"size_mult", None}, {"stop_price", None}, {"target_price", None}};

}  // namespace tarnwick::python
