// One market event on its way from an attached or pushed stream into a session's
// schedule: a bar, a trade print, a top-of-book quote or a depth snapshot.
#pragma once

#include <array>
#include <cstdint>

namespace tarnwick::data {

// The feed's own numbering; the schedule numbers its kinds differently (ScheduleKind).
enum class FeedEventKind : std::uint8_t { Bar = 0, Quote = 1, Trade = 2, Depth = 3 };

// Payload words by kind:
//   Bar    open, high, low, close, volume
//   Quote  bid, ask, bid_size, ask_size (a size is NaN when the feed carried none), 0
//   Trade  price, size, signed_size, oi, 0
//   Depth  position of the snapshot in the session's depth store (an exact integer), 0...
using EventPayload = std::array<double, 5>;

struct FeedEvent {
    FeedEventKind kind = FeedEventKind::Bar;
    std::int64_t ts = 0;  // nanoseconds since the Unix epoch
    EventPayload payload{};
    std::uint32_t instrument = 0;  // registration index
    std::uint32_t stream = 0;      // the merge's third key
};

}  // namespace tarnwick::data
