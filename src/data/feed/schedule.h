// A session's schedule: one list of entries that every attached stream is merged into and
// every live row is appended to, applied front to back.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "data/events/feed_event.h"

namespace tarnwick::data {

// The schedule's own numbering (not FeedEventKind's): 0 bar, 1 trade, 2 quote, 3 book.
enum class ScheduleKind : std::uint8_t { Bar = 0, Trade = 1, Quote = 2, Book = 3 };
std::string_view name(ScheduleKind kind) noexcept;  // "bar", "trade", "quote", "book"
ScheduleKind schedule_kind(FeedEventKind kind) noexcept;

struct ScheduleEntry {
    ScheduleKind kind = ScheduleKind::Bar;
    std::int64_t ts = 0;     // nanoseconds since the Unix epoch
    EventPayload payload{};  // the FeedEvent payload of the matching kind, unchanged
    std::uint64_t instrument = 0;
    // Position among the entries of its instrument, in schedule order: the index the
    // instrument's kernel is stepped with.
    std::uint64_t local_idx = 0;

    // Book entries: the snapshot's position in the session's depth store.
    std::uint64_t depth_position() const noexcept { return static_cast<std::uint64_t>(payload[0]); }
};

// Appends every event of `streams` to `schedule` in one deterministic order: by timestamp,
// then kind (trade < quote < depth < bar), then stream id, then stored order within the
// stream. Each stream is consumed in stored order even when its timestamps are not
// ascending: an event is considered only once its predecessor has been taken. Each entry
// takes its instrument's next local index from `local_counts`, which must cover every
// instrument named by an event.
void merge_streams(std::span<const std::vector<FeedEvent>> streams, std::vector<ScheduleEntry>& schedule,
                   std::vector<std::uint64_t>& local_counts);

// Appends one entry at the tail, numbered from `local_counts` like a merged one.
void append_entry(ScheduleKind kind, std::int64_t ts, const EventPayload& payload, std::uint64_t instrument,
                  std::vector<ScheduleEntry>& schedule, std::vector<std::uint64_t>& local_counts);

}  // namespace tarnwick::data
