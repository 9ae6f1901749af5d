// PortfolioSession: several instruments over one shared account, driven entry by entry
// from a Python loop.
#include <cmath>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/format.h"
#include "data/feed/stream_columns.h"
#include "python/bound_records.h"
#include "python/classes.h"
#include "python/engine_event_records.h"
#include "python/numpy_bridge.h"
#include "python/order_args.h"
#include "python/registration.h"
#include "runners/portfolio_result.h"
#include "runners/session/portfolio_session.h"

namespace tarnwick::python {

using data::DepthSnapshot;
using data::OptionalTickColumns;
using data::ScheduleEntry;
using data::ScheduleKind;
using data::TickColumns;
using data::TickRow;
using data::bars_from_columns;
using data::depth_snapshots;
using data::tick_columns;
using domain::BOOK_LEVELS;
using domain::BacktestConfig;
using domain::BarSignal;
using domain::BookLevel;
using domain::InstrumentConfig;
using domain::InstrumentSpec;
using domain::OhlcvBar;
using engine::AccountSetup;
using engine::OmsType;
using engine::parse_account_type;
using runners::PortfolioSession;
using runners::WorkingOrderView;

// A live session, or nothing once finished.
struct PortfolioSessionState {
    std::optional<PortfolioSession> session;
};

template <>
struct Bound<PortfolioSessionState> {
    static constexpr const char* name = "PortfolioSession";
    static PyTypeObject* type();
};

namespace {

// One (price, size) level of a live depth row.
struct LevelPair {
    double price = 0.0;
    double size = 0.0;
};

}  // namespace

template <>
struct Converter<LevelPair> {
    static LevelPair from(PyObject* o) {
        if (!PyTuple_Check(o)) refuse(o, "PyTuple");
        const Py_ssize_t n = PyTuple_GET_SIZE(o);
        if (n != 2)
            raise(PyExc_ValueError, base::fmt::format("expected tuple of length 2, but got tuple of length {}", n));
        return {from_py<double>(PyTuple_GET_ITEM(o, 0)), from_py<double>(PyTuple_GET_ITEM(o, 1))};
    }
};

namespace {

using State = PortfolioSessionState;

constexpr const char* kFinished = "session is finished; create a new one";

PortfolioSession& live(State& s) {
    if (!s.session) raise(PyExc_ValueError, kFinished);
    return *s.session;
}

// The session held exclusively for the whole call. A method takes it before it converts
// an argument: a conversion runs Python code (`__float__`, `__index__`), and one that calls
// back into this session must find it borrowed rather than change it under the call.
class Taken {
public:
    explicit Taken(PyObject* self) : record_(as_record<State>(self)), borrow_(record_->borrow) {}
    State& state() noexcept { return record_->value; }

private:
    PyRecord<State>* record_;
    ExclusiveBorrow borrow_;
};

// Runs `body` on the live session of a call that took it.
template <class F>
PyObject* with_session(Taken& taken, F&& body) {
    return body(live(taken.state())).release();
}

// The same for methods without arguments.
template <class F>
PyObject* with_session(PyObject* self, F&& body) {
    Taken taken(self);
    return with_session(taken, std::forward<F>(body));
}

Ref none() { return Ref::borrow(Py_None); }

template <class... R>
Ref tuple(R&&... items) {
    Ref t = Ref::check(PyTuple_New(sizeof...(items)));
    Py_ssize_t i = 0;
    ((PyTuple_SET_ITEM(t.get(), i++, items.release())), ...);
    return t;
}

// ---------------------------------------------------------------------------
// Construction and instruments

constexpr auto kNew = constructor(
    "PortfolioSession.__new__", {{"config", "None"}, {"account_type", "\"cash\""}, {"leverage", "1.0"}},
    "Multi-instrument session over deterministically merged bar streams.\n\n"
    "One shared account funds every instrument. With `account_type=\"margin\"`\n"
    "they also share one pool of locked initial margin, so leverage applies\n"
    "portfolio-wide and a margin call halts all instruments at once.\n\n"
    "Protocol: `add_instrument` + `set_bars` per symbol, `seal()`, then loop\n"
    "`current()` / `apply_current(...)` to completion and `finish()`.");

PyObject* construct(PyTypeObject*, const Args& a) {
    const BacktestConfig config = a.opt<BacktestConfig>(0).value_or(BacktestConfig{});
    const std::string account = a.get_or<std::string>(1, "cash");
    const double leverage = a.get_or<double>(2, 1.0);
    const AccountSetup setup = unwrap(parse_account_type(account, leverage));
    State s;
    s.session.emplace(config, setup);
    return wrap(std::move(s)).release();
}

constexpr auto kAdd = method(
    "PortfolioSession.add_instrument", {"symbol", {"direction", "1"}, {"instrument_config", "None"},
                                        {"instrument", "None"}, {"oms_type", "\"netting\""}},
    "Register an instrument; returns its index for routing.");

PyObject* add_instrument(PyObject* self, const Args& a) {
    Taken taken(self);
    std::string symbol = a.get<std::string>(0);
    const auto direction = a.get_or<std::int32_t>(1, 1);
    auto instrument_config = a.opt<InstrumentConfig>(2);
    auto instrument = a.opt<InstrumentSpec>(3);
    const std::string oms_text = a.get_or<std::string>(4, "netting");
    // Argument errors come before the session's state.
    const OmsType oms = unwrap(PortfolioSession::check_instrument(direction, oms_text, instrument));
    return with_session(taken, [&](PortfolioSession& s) {
        return to_py(s.add_instrument(std::move(symbol), static_cast<std::int8_t>(direction),
                                      std::move(instrument_config), std::move(instrument), oms));
    });
}

// ---------------------------------------------------------------------------
// Attached streams

constexpr auto kSetBars = method(
    "PortfolioSession.set_bars", {"instrument", "timestamps", "open", "high", "low", "close", "volume"},
    "Attach an instrument's bar arrays (ascending timestamps).");

PyObject* set_bars(PyObject* self, const Args& a) {
    Taken taken(self);
    const auto instrument = a.get<std::uint64_t>(0);
    const auto ts = a.get<ArrayI64>(1);
    const auto open = a.get<ArrayF64>(2);
    const auto high = a.get<ArrayF64>(3);
    const auto low = a.get<ArrayF64>(4);
    const auto close = a.get<ArrayF64>(5);
    const auto volume = a.get<ArrayF64>(6);
    std::vector<OhlcvBar> bars = unwrap(bars_from_columns(ts.data, open.data, high.data, low.data, close.data,
                                                          volume.data));
    return with_session(taken, [&](PortfolioSession& s) {
        unwrap(s.set_bars(instrument, std::move(bars)));
        return none();
    });
}

constexpr auto kSetTicks = method(
    "PortfolioSession.set_ticks", {"instrument", "timestamps", "ltp", {"bid", "None"}, {"ask", "None"},
                                   {"buy_qty_delta", "None"}, {"sell_qty_delta", "None"}, {"ltq", "None"},
                                   {"bid_qty", "None"}, {"ask_qty", "None"}, {"oi", "None"}},
    "Attach an instrument's tick arrays (ascending timestamps).\n\n"
    "A row with `ltp > 0` yields a trade print; a row with both `bid > 0`\n"
    "and `ask > 0` yields a quote. The trade precedes the quote of the\n"
    "same row, since the print is what that book state followed.");

std::optional<std::vector<double>> optional_column(const Args& a, std::size_t i) {
    auto c = a.opt<ArrayF64>(i);
    if (!c) return std::nullopt;
    return std::move(c->data);
}

PyObject* set_ticks(PyObject* self, const Args& a) {
    Taken taken(self);
    const auto instrument = a.get<std::uint64_t>(0);
    auto ts = a.get<ArrayI64>(1);
    auto ltp = a.get<ArrayF64>(2);
    OptionalTickColumns opt;
    opt.bid = optional_column(a, 3);
    opt.ask = optional_column(a, 4);
    opt.buy_qty_delta = optional_column(a, 5);
    opt.sell_qty_delta = optional_column(a, 6);
    opt.ltq = optional_column(a, 7);
    opt.bid_qty = optional_column(a, 8);
    opt.ask_qty = optional_column(a, 9);
    opt.oi = optional_column(a, 10);
    TickColumns columns = unwrap(tick_columns(std::move(ts.data), std::move(ltp.data), std::move(opt)));
    return with_session(taken, [&](PortfolioSession& s) {
        unwrap(s.set_ticks(instrument, std::move(columns)));
        return none();
    });
}

constexpr auto kSetDepth = method(
    "PortfolioSession.set_depth", {"instrument", "timestamps", "bid_prices", "bid_sizes", "ask_prices", "ask_sizes"},
    "Attach an instrument's depth snapshots.\n\n"
    "Price/size arrays are `(n_snapshots, levels)`, best level first:\n"
    "bids descending, asks ascending. Levels beyond the book's capacity\n"
    "are truncated.");

PyObject* set_depth(PyObject* self, const Args& a) {
    Taken taken(self);
    const auto instrument = a.get<std::uint64_t>(0);
    const auto ts = a.get<ArrayI64>(1);
    const auto bid_prices = a.get<ArrayF64x2>(2);
    const auto bid_sizes = a.get<ArrayF64x2>(3);
    const auto ask_prices = a.get<ArrayF64x2>(4);
    const auto ask_sizes = a.get<ArrayF64x2>(5);
    std::vector<DepthSnapshot> snaps =
        unwrap(depth_snapshots(ts.data, bid_prices.m, bid_sizes.m, ask_prices.m, ask_sizes.m));
    return with_session(taken, [&](PortfolioSession& s) {
        unwrap(s.set_depth(instrument, std::move(snaps)));
        return none();
    });
}

PyObject* seal(PyObject* self) {
    return with_session(self, [](PortfolioSession& s) {
        s.seal();
        return none();
    });
}

// ---------------------------------------------------------------------------
// Live appends

constexpr auto kPushBar = method(
    "PortfolioSession.push_bar", {"instrument", "timestamp", "open", "high", "low", "close", "volume"},
    "Append one live bar to the schedule tail (seals first, idempotent).");

PyObject* push_bar(PyObject* self, const Args& a) {
    Taken taken(self);
    const auto instrument = a.get<std::uint64_t>(0);
    OhlcvBar bar;
    bar.timestamp = a.get<std::int64_t>(1);
    bar.open = a.get<double>(2);
    bar.high = a.get<double>(3);
    bar.low = a.get<double>(4);
    bar.close = a.get<double>(5);
    bar.volume = a.get<double>(6);
    return with_session(taken, [&](PortfolioSession& s) {
        unwrap(s.push_bar(instrument, bar));
        return none();
    });
}

constexpr auto kPushTick = method(
    "PortfolioSession.push_tick", {"instrument", "timestamp", "ltp", {"bid", "0.0"}, {"ask", "0.0"},
                                   {"buy_qty_delta", "0.0"}, {"sell_qty_delta", "0.0"}, {"ltq", "0.0"},
                                   {"bid_qty", "0.0"}, {"ask_qty", "0.0"}, {"oi", "0.0"}},
    "Append one live feed row to the schedule tail.\n\n"
    "Seals first (idempotent), so batch data attached beforehand \u2014 warmup\n"
    "bars, replayed history \u2014 merges ahead of everything pushed. A row\n"
    "with `ltp > 0` appends a trade print; a row with both `bid > 0` and\n"
    "`ask > 0` appends a quote after it. Returns how many events were\n"
    "appended (0\u20132); drive them with `current_event()`/`apply_current()`.");

PyObject* push_tick(PyObject* self, const Args& a) {
    Taken taken(self);
    const auto instrument = a.get<std::uint64_t>(0);
    const auto ts = a.get<std::int64_t>(1);
    TickRow row;
    row.ltp = a.get<double>(2);
    row.bid = a.get_or<double>(3, 0.0);
    row.ask = a.get_or<double>(4, 0.0);
    row.buy_qty_delta = a.get_or<double>(5, 0.0);
    row.sell_qty_delta = a.get_or<double>(6, 0.0);
    row.ltq = a.get_or<double>(7, 0.0);
    row.bid_qty = a.get_or<double>(8, 0.0);
    row.ask_qty = a.get_or<double>(9, 0.0);
    row.oi = a.get_or<double>(10, 0.0);
    return with_session(taken, [&](PortfolioSession& s) { return to_py(unwrap(s.push_tick(instrument, ts, row))); });
}

constexpr auto kPushDepth = method("PortfolioSession.push_depth", {"instrument", "timestamp", "bids", "asks"},
                                   "Append one live depth snapshot to the schedule tail.\n\n"
                                   "`bids`/`asks` are `(price, size)` lists, best level first.");

PyObject* push_depth(PyObject* self, const Args& a) {
    Taken taken(self);
    const auto instrument = a.get<std::uint64_t>(0);
    const auto ts = a.get<std::int64_t>(1);
    const auto bids = a.get<std::vector<LevelPair>>(2);
    const auto asks = a.get<std::vector<LevelPair>>(3);
    DepthSnapshot snap;
    snap.ts = ts;
    for (const LevelPair& l : bids) snap.offer_bid(l.price, l.size);
    for (const LevelPair& l : asks) snap.offer_ask(l.price, l.size);
    return with_session(taken, [&](PortfolioSession& s) {
        unwrap(s.push_depth(instrument, snap));
        return none();
    });
}

// ---------------------------------------------------------------------------
// The pending entry

PyObject* remaining(PyObject* self) {
    return with_session(self, [](PortfolioSession& s) { return to_py(s.remaining()); });
}

PyObject* current(PyObject* self) {
    return with_session(self, [](PortfolioSession& s) {
        const ScheduleEntry* e = s.pending();
        if (e == nullptr || e->kind != ScheduleKind::Bar) return none();
        const auto& w = e->payload;
        return tuple(to_py(e->instrument), to_py(e->local_idx), to_py(e->ts), to_py(w[0]), to_py(w[1]), to_py(w[2]),
                     to_py(w[3]), to_py(w[4]));
    });
}

PyObject* current_event(PyObject* self) {
    return with_session(self, [](PortfolioSession& s) {
        const ScheduleEntry* e = s.pending();
        if (e == nullptr) return none();
        const auto& w = e->payload;
        std::array<double, 5> v{};
        switch (e->kind) {
            case ScheduleKind::Bar: v = w; break;
            case ScheduleKind::Trade: v = {w[0], w[1], w[3], 0.0, 0.0}; break;  // the signed size stays inside
            case ScheduleKind::Quote: v = {w[0], w[1], w[2], w[3], 0.0}; break;
            case ScheduleKind::Book: {
                const DepthSnapshot& d = s.depth_snapshot(e->depth_position());
                v = {d.bids[0].price, d.asks[0].price, d.bids[0].size, d.asks[0].size, 0.0};
                break;
            }
        }
        return tuple(to_py(name(e->kind)), to_py(e->instrument), to_py(e->local_idx), to_py(e->ts), to_py(v[0]),
                     to_py(v[1]), to_py(v[2]), to_py(v[3]), to_py(v[4]));
    });
}

Ref level_list(const std::array<BookLevel, BOOK_LEVELS>& levels, std::uint8_t count) {
    Ref list = Ref::check(PyList_New(count));
    for (std::uint8_t i = 0; i < count; ++i) {
        PyList_SET_ITEM(list.get(), i, tuple(to_py(levels[i].price), to_py(levels[i].size)).release());
    }
    return list;
}

PyObject* current_depth(PyObject* self) {
    return with_session(self, [](PortfolioSession& s) {
        const ScheduleEntry* e = s.pending();
        if (e == nullptr || e->kind != ScheduleKind::Book) return none();
        const DepthSnapshot& d = s.depth_snapshot(e->depth_position());
        return tuple(level_list(d.bids, d.bid_count), level_list(d.asks, d.ask_count));
    });
}

constexpr auto kApply = method(
    "PortfolioSession.apply_current", {{"entry", "False"}, {"exit", "False"}, {"atr", "0.0"}, {"size_mult", "None"},
                                       {"stop_price", "None"}, {"target_price", "None"}},
    "Step the pending event through its instrument's kernel and advance.");

PyObject* apply_current(PyObject* self, const Args& a) {
    Taken taken(self);
    BarSignal intents;
    intents.entry = a.get_or<bool>(0, false);
    intents.exit = a.get_or<bool>(1, false);
    intents.atr = a.get_or<double>(2, 0.0);
    intents.size_mult = a.opt<double>(3);
    intents.stop_price = a.opt<double>(4);
    intents.target_price = a.opt<double>(5);
    return with_session(taken, [&](PortfolioSession& s) { return event_list(s.apply_current(intents)); });
}

// ---------------------------------------------------------------------------
// Orders

constexpr auto kSubmit = method(
    "PortfolioSession.submit_order", {"instrument", "side", "kind", "submitted_idx", "submitted_ts", "client_id",
                                      {"units", "None"}, {"size_frac", "None"}, {"limit_price", "None"},
                                      {"trigger_price", "None"}, {"tif", "\"gtc\""}, {"expire_ns", "None"},
                                      {"stop_price", "None"}, {"target_price", "None"}, {"offset", "None"},
                                      {"offset_kind", "\"price\""}, {"limit_offset", "0.0"}, {"post_only", "False"},
                                      {"reduce_only", "False"}, {"parent_id", "None"}},
    "Submit a typed order routed to one instrument's kernel.");

PyObject* submit_order(PyObject* self, const Args& a) {
    Taken taken(self);
    const auto instrument = a.get<std::uint64_t>(0);
    const SubmittedOrder order = read_submitted_order(a, 1);
    return with_session(taken,
                        [&](PortfolioSession& s) { return to_py(unwrap(s.submit_order(instrument, order.args()))); });
}

constexpr auto kCancel = method("PortfolioSession.cancel_order", {"instrument", "idx", "order_id"}, "");

PyObject* cancel_order(PyObject* self, const Args& a) {
    Taken taken(self);
    const auto instrument = a.get<std::uint64_t>(0);
    const auto idx = a.get<std::uint64_t>(1);
    const auto id = a.get<std::uint64_t>(2);
    return with_session(taken, [&](PortfolioSession& s) { return to_py(unwrap(s.cancel_order(instrument, idx, id))); });
}

constexpr auto kModify = method(
    "PortfolioSession.modify_order", {"instrument", "order_id", {"units", "None"}, {"size_frac", "None"},
                                      {"limit_price", "None"}, {"trigger_price", "None"}},
    "Replace a working order's prices and/or quantity on one instrument.");

PyObject* modify_order(PyObject* self, const Args& a) {
    Taken taken(self);
    const auto instrument = a.get<std::uint64_t>(0);
    const auto id = a.get<std::uint64_t>(1);
    const auto units = a.opt<double>(2);
    const auto size_frac = a.opt<double>(3);
    const auto limit_price = a.opt<double>(4);
    const auto trigger_price = a.opt<double>(5);
    // Judged before the session's state: a finished session reports this first.
    if (units && size_frac) raise(PyExc_ValueError, "pass units or size_frac, not both");
    return with_session(taken, [&](PortfolioSession& s) {
        return to_py(unwrap(s.modify_order(instrument, id, units, size_frac, limit_price, trigger_price)));
    });
}

constexpr auto kCancelAll = method("PortfolioSession.cancel_all_orders", {"instrument", "idx"}, "");

PyObject* cancel_all_orders(PyObject* self, const Args& a) {
    Taken taken(self);
    const auto instrument = a.get<std::uint64_t>(0);
    const auto idx = a.get<std::uint64_t>(1);
    return with_session(taken, [&](PortfolioSession& s) { return to_py(unwrap(s.cancel_all_orders(instrument, idx))); });
}

constexpr auto kLink = method("PortfolioSession.link_oco", {"instrument", "order_ids"}, "");

PyObject* link_oco(PyObject* self, const Args& a) {
    Taken taken(self);
    const auto instrument = a.get<std::uint64_t>(0);
    const auto ids = a.get<std::vector<std::uint64_t>>(1);
    return with_session(taken, [&](PortfolioSession& s) {
        unwrap(s.link_oco(instrument, ids));
        return none();
    });
}

constexpr auto kUnderlying = method("PortfolioSession.set_underlying_price", {"instrument", {"price", "None"}},
                                    "Set the underlying price one instrument settles its options against.");

PyObject* set_underlying_price(PyObject* self, const Args& a) {
    Taken taken(self);
    const auto instrument = a.get<std::uint64_t>(0);
    const auto price = a.opt<double>(1);
    return with_session(taken, [&](PortfolioSession& s) {
        unwrap(s.set_underlying_price(instrument, price));
        return none();
    });
}

constexpr auto kAdopt = method("PortfolioSession.adopt_position", {"instrument", "timestamp_ns", "price", "size"},
                               "Adopt a pre-existing position (broker-truth seeding): the account\n"
                               "already holds `size` units at `price` average cost. No order, no\n"
                               "fill, no fees, no trade record \u2014 and it must be called before the\n"
                               "first equity sample so a position-diff signal translation never reads\n"
                               "the position as a fresh entry. Cash or fully funded margin accounts\n"
                               "(leverage 1.0), long-only; a leveraged book is refused because the\n"
                               "broker's posted margin is not derivable from quantity and price.\n\n"
                               "Raises `ValueError` if any event has already been applied: adopting\n"
                               "mid-run understates max drawdown, because the flat stretch before the\n"
                               "adoption holds the running peak down. Quote- and depth-only events\n"
                               "sample no equity, so adopting after one is still allowed.");

PyObject* adopt_position(PyObject* self, const Args& a) {
    Taken taken(self);
    const auto instrument = a.get<std::uint64_t>(0);
    const auto ts = a.get<std::int64_t>(1);
    const auto price = a.get<double>(2);
    const auto size = a.get<double>(3);
    return with_session(taken,
                        [&](PortfolioSession& s) { return to_py(unwrap(s.adopt_position(instrument, ts, price, size))); });
}

constexpr auto kRequestClose = method("PortfolioSession.request_close", {"instrument", "position_id"}, "");

PyObject* request_close(PyObject* self, const Args& a) {
    Taken taken(self);
    const auto instrument = a.get<std::uint64_t>(0);
    const auto id = a.get<std::uint64_t>(1);
    return with_session(taken, [&](PortfolioSession& s) {
        unwrap(s.request_close(instrument, id));
        return none();
    });
}

// ---------------------------------------------------------------------------
// Queries

constexpr auto kPositions = method("PortfolioSession.positions", {"instrument"},
                                   "Open positions of one instrument, in opening order.");
constexpr auto kPosition = method("PortfolioSession.position", {"instrument"},
                                  "Earliest open position of one instrument, or None.");
constexpr auto kWorking = method("PortfolioSession.working_orders", {"instrument"},
                                 "Working orders of one instrument as\n"
                                 "`(order_id, client_id, side, kind, status, filled_qty, units)` \u2014\n"
                                 "`units` is `nan` for a capital-fraction or close-all order. Status is\n"
                                 "`accepted`, `triggered` or `partially_filled`.");

PyObject* positions(PyObject* self, const Args& a) {
    Taken taken(self);
    const auto instrument = a.get<std::uint64_t>(0);
    return with_session(taken, [&](PortfolioSession& s) {
        return record_list(unwrap(s.kernel(instrument))->positions());
    });
}

PyObject* position(PyObject* self, const Args& a) {
    Taken taken(self);
    const auto instrument = a.get<std::uint64_t>(0);
    return with_session(taken, [&](PortfolioSession& s) {
        auto p = unwrap(s.kernel(instrument))->position();
        return p ? wrap(*p) : none();
    });
}

PyObject* working_orders(PyObject* self, const Args& a) {
    Taken taken(self);
    const auto instrument = a.get<std::uint64_t>(0);
    return with_session(taken, [&](PortfolioSession& s) {
        const std::vector<WorkingOrderView> orders = unwrap(s.working_orders(instrument));
        Ref list = Ref::check(PyList_New(static_cast<Py_ssize_t>(orders.size())));
        for (std::size_t i = 0; i < orders.size(); ++i) {
            const WorkingOrderView& o = orders[i];
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i),
                            tuple(to_py(o.order_id), to_py(o.client_id), to_py(o.side), to_py(o.kind),
                                  to_py(o.status), to_py(o.filled_qty), to_py(o.units))
                                .release());
        }
        return list;
    });
}

PyObject* equity(PyObject* self) {
    return with_session(self, [](PortfolioSession& s) { return to_py(s.equity()); });
}
PyObject* cash(PyObject* self) {
    return with_session(self, [](PortfolioSession& s) { return to_py(s.cash()); });
}
PyObject* free_capital(PyObject* self) {
    return with_session(self, [](PortfolioSession& s) { return to_py(s.free_capital()); });
}
PyObject* is_halted(PyObject* self) {
    return with_session(self, [](PortfolioSession& s) { return to_py(s.is_halted()); });
}

PyObject* finish(PyObject* self) {
    auto* r = as_record<State>(self);
    ExclusiveBorrow b(r->borrow);
    if (!r->value.session) raise(PyExc_ValueError, "session is already finished");
    PortfolioSession session = std::move(*r->value.session);
    r->value.session.reset();
    return new_portfolio_result(std::move(session).finish()).release();
}

// The schedule's length, merged and pushed entries alike, applied ones included.
Py_ssize_t length(PyObject* self) {
    Py_ssize_t n = -1;
    PyObject* ok = guarded([&]() -> PyObject* {
        auto* r = as_record<State>(self);
        SharedBorrow b(r->borrow);
        n = static_cast<Py_ssize_t>(live(r->value).size());
        return Py_None;  // borrowed: only tested against NULL
    });
    return ok == nullptr ? -1 : n;
}

constexpr auto kCurrentDepth = method("PortfolioSession.current_depth",
                                      "Full levels of the pending depth event, or `None` for other kinds.\n\n"
                                      "Returns `(bids, asks)` as `(price, size)` lists, best first.");
constexpr auto kSeal = method("PortfolioSession.seal", "Merge all streams into the deterministic schedule.");
constexpr auto kRemaining = method("PortfolioSession.remaining", "Events pushed or merged but not yet applied.");
constexpr auto kCurrent = method("PortfolioSession.current",
                                 "The pending event: `(instrument, local_idx, ts, o, h, l, c, v)`.\n\n"
                                 "Bar sessions only. A session carrying ticks must use\n"
                                 "`PortfolioSession.current_event`, which names the payload kind;\n"
                                 "this returns `None` on a non-bar event rather than mispresenting a\n"
                                 "print as a bar.");
constexpr auto kCurrentEvent = method("PortfolioSession.current_event",
                                      "The pending event, tagged by kind:\n"
                                      "`(kind, instrument, local_idx, ts, a, b, c, d, e)` where `kind` is\n"
                                      "`\"bar\"` (o/h/l/c/v), `\"trade\"` (price, size, oi, 0, 0) or `\"quote\"`\n"
                                      "(bid, ask, bid_size, ask_size, 0) \u2014 a size is `NaN` when the feed\n"
                                      "carried none.");
constexpr auto kEquity = method("PortfolioSession.equity",
                                "Portfolio equity: pool plus every instrument's last-known mark.");
constexpr auto kCash = method("PortfolioSession.cash",
                              "Shared cash balance. In margin mode this includes locked initial\n"
                              "margin; see `free_capital()` for what can fund a new position.");
constexpr auto kFreeCapital = method("PortfolioSession.free_capital",
                                     "Capital available to open new positions across all instruments.\n\n"
                                     "Equals `cash()` in cash mode; net of locked initial margin otherwise.");
constexpr auto kIsHalted = method("PortfolioSession.is_halted",
                                  "Whether a margin call or drawdown kill-switch has latched.");
constexpr auto kFinish = method("PortfolioSession.finish",
                                "Force-close all instruments and compute portfolio metrics.");

PyMethodDef kMethods[] = {
    fast_method<kAdd, add_instrument>(),
    fast_method<kSetBars, set_bars>(),
    fast_method<kSetTicks, set_ticks>(),
    fast_method<kSetDepth, set_depth>(),
    noargs<kCurrentDepth>(plain_entry<current_depth>),
    noargs<kSeal>(plain_entry<seal>),
    fast_method<kPushTick, push_tick>(),
    fast_method<kPushBar, push_bar>(),
    fast_method<kPushDepth, push_depth>(),
    noargs<kRemaining>(plain_entry<remaining>),
    noargs<kCurrent>(plain_entry<current>),
    noargs<kCurrentEvent>(plain_entry<current_event>),
    fast_method<kApply, apply_current>(),
    fast_method<kSubmit, submit_order>(),
    fast_method<kCancel, cancel_order>(),
    fast_method<kModify, modify_order>(),
    fast_method<kCancelAll, cancel_all_orders>(),
    fast_method<kLink, link_oco>(),
    fast_method<kUnderlying, set_underlying_price>(),
    fast_method<kAdopt, adopt_position>(),
    fast_method<kRequestClose, request_close>(),
    fast_method<kPositions, positions>(),
    fast_method<kWorking, working_orders>(),
    fast_method<kPosition, position>(),
    noargs<kEquity>(plain_entry<equity>),
    noargs<kCash>(plain_entry<cash>),
    noargs<kFreeCapital>(plain_entry<free_capital>),
    noargs<kIsHalted>(plain_entry<is_halted>),
    noargs<kFinish>(plain_entry<finish>),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, class_doc<kNew>()},
    {Py_tp_new, reinterpret_cast<void*>(new_entry<kNew, construct>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_record<State>)},
    {Py_tp_methods, kMethods},
    {Py_mp_length, reinterpret_cast<void*>(length)},
    {0, nullptr},
};

}  // namespace

PyTypeObject* Bound<PortfolioSessionState>::type() { return record_type<State>("builtins.PortfolioSession", kSlots); }

Registrations portfolio_session_rows() {
    static constexpr Registration rows[] = {class_row<PortfolioSessionState>()};
    return rows;
}

}  // namespace tarnwick::python
