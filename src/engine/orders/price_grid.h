// Whether a bar reached a price level, compared as the level was meant. A level worked
// out from a percentage carries its rounding (a 10% target over 100 is
// 110.00000000000001, a 3% stop under 120 is 116.39999999999999); a bar whose extreme
// equals the intended level touches it. With a price increment both sides are compared in
// whole ticks; without one the bar may miss the level by 4 ulps of the level.
//
// A level is met from one side: `at_or_above` asks whether a rising price got to it,
// `at_or_below` whether a falling one did. On a tick grid a level between two ticks is
// first met at the tick beyond it on that side (a buy limit at 95.6987 at 95.69, a buy
// stop at 105.003 at 105.01), and a level within rounding of a tick is that tick.
#pragma once

namespace tarnwick::engine {

struct PriceGrid {
    double tick = 0.0;  // the instrument's price increment; 0 or less: none

    bool at_or_above(double price, double level) const noexcept;
    bool at_or_below(double price, double level) const noexcept;
    // The level as a rising (`from_below`) or falling price first meets it: on the tick
    // grid when there is one, else the level itself.
    double level_on_grid(double level, bool from_below) const noexcept;
    // The price a fill at that level takes on a bar that touched it, kept within the
    // bar's [low, high] so that it is a price the bar traded.
    double fill_at(double level, bool from_below, double low, double high) const noexcept;
};

}  // namespace tarnwick::engine
