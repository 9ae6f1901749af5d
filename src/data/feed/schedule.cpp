#include "data/feed/schedule.h"

#include <queue>

#include "base/fault.h"

namespace tarnwick::data {

using base::check_index;

std::string_view name(ScheduleKind kind) noexcept {
    switch (kind) {
        case ScheduleKind::Bar: return "bar";
        case ScheduleKind::Trade: return "trade";
        case ScheduleKind::Quote: return "quote";
        case ScheduleKind::Book: return "book";
    }
    return "bar";
}

ScheduleKind schedule_kind(FeedEventKind kind) noexcept {
    switch (kind) {
        case FeedEventKind::Bar: return ScheduleKind::Bar;
        case FeedEventKind::Quote: return ScheduleKind::Quote;
        case FeedEventKind::Trade: return ScheduleKind::Trade;
        case FeedEventKind::Depth: return ScheduleKind::Book;
    }
    return ScheduleKind::Bar;
}

namespace {

// At one timestamp prints come first, then the book state they left (quotes, then depth),
// and the bar that summarises the interval last.
int kind_rank(FeedEventKind kind) noexcept {
    switch (kind) {
        case FeedEventKind::Trade: return 0;
        case FeedEventKind::Quote: return 1;
        case FeedEventKind::Depth: return 2;
        case FeedEventKind::Bar: return 3;
    }
    return 3;
}

struct MergeItem {
    FeedEvent event;
    std::uint64_t stream_pos = 0;  // position in the list of streams
    std::uint64_t seq = 0;         // position within that stream
};

// True when `a` comes after `b`, which makes std::priority_queue a min-heap.
struct After {
    bool operator()(const MergeItem& a, const MergeItem& b) const noexcept {
        if (a.event.ts != b.event.ts) return a.event.ts > b.event.ts;
        const int ra = kind_rank(a.event.kind);
        const int rb = kind_rank(b.event.kind);
        if (ra != rb) return ra > rb;
        if (a.event.stream != b.event.stream) return a.event.stream > b.event.stream;
        return a.seq > b.seq;
    }
};

}  // namespace

void append_entry(ScheduleKind kind, std::int64_t ts, const EventPayload& payload, std::uint64_t instrument,
                  std::vector<ScheduleEntry>& schedule, std::vector<std::uint64_t>& local_counts) {
    check_index(instrument, local_counts.size());
    std::uint64_t& count = local_counts[instrument];
    schedule.push_back(ScheduleEntry{kind, ts, payload, instrument, count});
    ++count;
}

void merge_streams(std::span<const std::vector<FeedEvent>> streams, std::vector<ScheduleEntry>& schedule,
                   std::vector<std::uint64_t>& local_counts) {
    std::size_t total = 0;
    std::vector<MergeItem> heap_storage;
    heap_storage.reserve(streams.size());
    for (const auto& s : streams) total += s.size();
    schedule.reserve(schedule.size() + total);

    std::priority_queue<MergeItem, std::vector<MergeItem>, After> heap(After{}, std::move(heap_storage));
    for (std::size_t i = 0; i < streams.size(); ++i) {
        if (!streams[i].empty()) heap.push(MergeItem{streams[i].front(), i, 0});
    }
    while (!heap.empty()) {
        const MergeItem top = heap.top();
        heap.pop();
        const FeedEvent& e = top.event;
        append_entry(schedule_kind(e.kind), e.ts, e.payload, e.instrument, schedule, local_counts);
        const auto& stream = streams[top.stream_pos];
        const std::uint64_t next = top.seq + 1;
        if (next < stream.size()) heap.push(MergeItem{stream[next], top.stream_pos, next});
    }
}

}  // namespace tarnwick::data
