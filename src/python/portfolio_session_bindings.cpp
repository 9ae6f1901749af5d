// PortfolioSession: several instruments over one shared account, driven entry by entry
// from a Python loop.
#include <array>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/format.h"
#include "data/feed/stream_columns.h"
#include "python/bound_records.h"
#include "python/classes.h"
#include "python/declare.h"
#include "python/engine_event_records.h"
#include "python/fields.h"
#include "python/live_session.h"
#include "python/numpy_bridge.h"
#include "python/order_args.h"
#include "python/param_list.h"
#include "python/registration.h"
#include "python/session_args.h"
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
using domain::BookLevel;
using domain::InstrumentConfig;
using domain::InstrumentSpec;
using domain::OhlcvBar;
using engine::AccountSetup;
using engine::OmsType;
using engine::PositionSnapshot;
using engine::parse_account_type;
using runners::PortfolioSession;
using runners::WorkingOrderView;

struct PortfolioSessionState : LiveSession<PortfolioSession> {
    using LiveSession::LiveSession;
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

template <>
struct Annotation<LevelPair> {
    static std::string text() { return "tuple[float, float]"; }
};

namespace {

using State = PortfolioSessionState;

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

State construct(std::optional<BacktestConfig>&& config, const std::string& account, double leverage) {
    const AccountSetup setup = unwrap(parse_account_type(account, leverage));
    return State(PortfolioSession(std::move(config).value_or(BacktestConfig{}), setup));
}

constexpr auto kNew = constructor<construct>(
    "PortfolioSession.__new__", {{"config", None}, {"account_type", "cash"}, {"leverage", 1.0}},
    Returns{"PortfolioSession"},
    "Multi-instrument session over deterministically merged bar streams.\n\n"
    "One shared account funds every instrument. With `account_type=\"margin\"`\n"
    "they also share one pool of locked initial margin, so leverage applies\n"
    "portfolio-wide and a margin call halts all instruments at once.\n\n"
    "Protocol: `add_instrument` + `set_bars` per symbol, `seal()`, then loop\n"
    "`current()` / `apply_current(...)` to completion and `finish()`.");

std::uint64_t add_instrument(Exclusive<State>& self, std::string symbol, std::int32_t direction,
                             std::optional<InstrumentConfig> instrument_config,
                             std::optional<InstrumentSpec> instrument, const std::string& oms_text) {
    // Argument errors come before the session's state.
    const OmsType oms = unwrap(PortfolioSession::check_instrument(direction, oms_text, instrument));
    return self->live().add_instrument(std::move(symbol), static_cast<std::int8_t>(direction),
                                      std::move(instrument_config), std::move(instrument), oms);
}

constexpr auto kAdd = method<add_instrument>(
    "PortfolioSession.add_instrument",
    {"symbol", {"direction", 1}, {"instrument_config", None}, {"instrument", None}, {"oms_type", "netting"}},
    Returns{"int"}, "Register an instrument; returns its index for routing.");

// ---------------------------------------------------------------------------
// Attached streams

PyObject* set_bars(Exclusive<State>& self, std::uint64_t instrument, const ArrayI64& ts, const ArrayF64& open,
                   const ArrayF64& high, const ArrayF64& low, const ArrayF64& close, const ArrayF64& volume) {
    std::vector<OhlcvBar> bars =
        unwrap(bars_from_columns(ts.data, open.data, high.data, low.data, close.data, volume.data));
    unwrap(self->live().set_bars(instrument, std::move(bars)));
    return Py_NewRef(Py_None);
}

constexpr auto kSetBars = method<set_bars>(
    "PortfolioSession.set_bars", {"instrument", "timestamps", "open", "high", "low", "close", "volume"},
    Returns{"None"}, "Attach an instrument's bar arrays (ascending timestamps).");

std::optional<std::vector<double>> column_of(std::optional<ArrayF64>&& c) {
    if (!c) return std::nullopt;
    return std::move(c->data);
}

PyObject* set_ticks(Exclusive<State>& self, std::uint64_t instrument, ArrayI64 ts, ArrayF64 ltp,
                    std::optional<ArrayF64> bid, std::optional<ArrayF64> ask, std::optional<ArrayF64> buy_qty_delta,
                    std::optional<ArrayF64> sell_qty_delta, std::optional<ArrayF64> ltq,
                    std::optional<ArrayF64> bid_qty, std::optional<ArrayF64> ask_qty, std::optional<ArrayF64> oi) {
    OptionalTickColumns opt;
    opt.bid = column_of(std::move(bid));
    opt.ask = column_of(std::move(ask));
    opt.buy_qty_delta = column_of(std::move(buy_qty_delta));
    opt.sell_qty_delta = column_of(std::move(sell_qty_delta));
    opt.ltq = column_of(std::move(ltq));
    opt.bid_qty = column_of(std::move(bid_qty));
    opt.ask_qty = column_of(std::move(ask_qty));
    opt.oi = column_of(std::move(oi));
    TickColumns columns = unwrap(tick_columns(std::move(ts.data), std::move(ltp.data), std::move(opt)));
    unwrap(self->live().set_ticks(instrument, std::move(columns)));
    return Py_NewRef(Py_None);
}

constexpr auto kSetTicks = method<set_ticks>(
    "PortfolioSession.set_ticks",
    {"instrument", "timestamps", "ltp", {"bid", None}, {"ask", None}, {"buy_qty_delta", None},
     {"sell_qty_delta", None}, {"ltq", None}, {"bid_qty", None}, {"ask_qty", None}, {"oi", None}},
    Returns{"None"},
    "Attach an instrument's tick arrays (ascending timestamps).\n\n"
    "A row with `ltp > 0` yields a trade print; a row with both `bid > 0`\n"
    "and `ask > 0` yields a quote. The trade precedes the quote of the\n"
    "same row, since the print is what that book state followed.");

PyObject* set_depth(Exclusive<State>& self, std::uint64_t instrument, const ArrayI64& ts,
                    const ArrayF64x2& bid_prices, const ArrayF64x2& bid_sizes, const ArrayF64x2& ask_prices,
                    const ArrayF64x2& ask_sizes) {
    std::vector<DepthSnapshot> snaps =
        unwrap(depth_snapshots(ts.data, bid_prices.m, bid_sizes.m, ask_prices.m, ask_sizes.m));
    unwrap(self->live().set_depth(instrument, std::move(snaps)));
    return Py_NewRef(Py_None);
}

constexpr auto kSetDepth = method<set_depth>(
    "PortfolioSession.set_depth", {"instrument", "timestamps", "bid_prices", "bid_sizes", "ask_prices", "ask_sizes"},
    Returns{"None"},
    "Attach an instrument's depth snapshots.\n\n"
    "Price/size arrays are `(n_snapshots, levels)`, best level first:\n"
    "bids descending, asks ascending. Levels beyond the book's capacity\n"
    "are truncated.");

PyObject* seal(Exclusive<State>& self) {
    self->live().seal();
    return Py_NewRef(Py_None);
}

// ---------------------------------------------------------------------------
// Live appends

PyObject* push_bar(Exclusive<State>& self, std::uint64_t instrument, const BarValues& bar) {
    unwrap(self->live().push_bar(instrument, bar));
    return Py_NewRef(Py_None);
}

constexpr auto kPushBarParams = splice({"instrument"}, kBarValueParams);
constexpr auto kPushBar = method<push_bar>("PortfolioSession.push_bar", kPushBarParams.items, Returns{"None"},
                                           "Append one live bar to the schedule tail (seals first, idempotent).");

std::uint64_t push_tick(Exclusive<State>& self, std::uint64_t instrument, std::int64_t ts, double ltp, double bid,
                        double ask, double buy_qty_delta, double sell_qty_delta, double ltq, double bid_qty,
                        double ask_qty, double oi) {
    TickRow row;
    row.ltp = ltp;
    row.bid = bid;
    row.ask = ask;
    row.buy_qty_delta = buy_qty_delta;
    row.sell_qty_delta = sell_qty_delta;
    row.ltq = ltq;
    row.bid_qty = bid_qty;
    row.ask_qty = ask_qty;
    row.oi = oi;
    return unwrap(self->live().push_tick(instrument, ts, row));
}

constexpr auto kPushTick = method<push_tick>(
    "PortfolioSession.push_tick",
    {"instrument", "timestamp", "ltp", {"bid", 0.0}, {"ask", 0.0}, {"buy_qty_delta", 0.0}, {"sell_qty_delta", 0.0},
     {"ltq", 0.0}, {"bid_qty", 0.0}, {"ask_qty", 0.0}, {"oi", 0.0}},
    Returns{"int"},
    "Append one live feed row to the schedule tail.\n\n"
    "Seals first (idempotent), so batch data attached beforehand \u2014 warmup\n"
    "bars, replayed history \u2014 merges ahead of everything pushed. A row\n"
    "with `ltp > 0` appends a trade print; a row with both `bid > 0` and\n"
    "`ask > 0` appends a quote after it. Returns how many events were\n"
    "appended (0\u20132); drive them with `current_event()`/`apply_current()`.");

PyObject* push_depth(Exclusive<State>& self, std::uint64_t instrument, std::int64_t ts,
                     const std::vector<LevelPair>& bids, const std::vector<LevelPair>& asks) {
    DepthSnapshot snap;
    snap.ts = ts;
    for (const LevelPair& l : bids) snap.offer_bid(l.price, l.size);
    for (const LevelPair& l : asks) snap.offer_ask(l.price, l.size);
    unwrap(self->live().push_depth(instrument, snap));
    return Py_NewRef(Py_None);
}

constexpr auto kPushDepth = method<push_depth>(
    "PortfolioSession.push_depth", {"instrument", "timestamp", "bids", "asks"}, Returns{"None"},
    "Append one live depth snapshot to the schedule tail.\n\n"
    "`bids`/`asks` are `(price, size)` lists, best level first.");

// ---------------------------------------------------------------------------
// The pending entry

std::uint64_t remaining(Exclusive<State>& self) { return self->live().remaining(); }

Ref current(Exclusive<State>& self) {
    const PortfolioSession& s = self->live();
    const ScheduleEntry* e = s.pending();
    if (e == nullptr || e->kind != ScheduleKind::Bar) return none();
    const auto& w = e->payload;
    return tuple(to_py(e->instrument), to_py(e->local_idx), to_py(e->ts), to_py(w[0]), to_py(w[1]), to_py(w[2]),
                 to_py(w[3]), to_py(w[4]));
}

Ref current_event(Exclusive<State>& self) {
    const PortfolioSession& s = self->live();
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
}

Ref level_list(const std::array<BookLevel, BOOK_LEVELS>& levels, std::uint8_t count) {
    Ref list = Ref::check(PyList_New(count));
    for (std::uint8_t i = 0; i < count; ++i) {
        PyList_SET_ITEM(list.get(), i, tuple(to_py(levels[i].price), to_py(levels[i].size)).release());
    }
    return list;
}

Ref current_depth(Exclusive<State>& self) {
    const PortfolioSession& s = self->live();
    const ScheduleEntry* e = s.pending();
    if (e == nullptr || e->kind != ScheduleKind::Book) return none();
    const DepthSnapshot& d = s.depth_snapshot(e->depth_position());
    return tuple(level_list(d.bids, d.bid_count), level_list(d.asks, d.ask_count));
}

Ref apply_current(Exclusive<State>& self, const BarIntents& intents) {
    return event_list(self->live().apply_current(intents));
}

constexpr auto kApply = method<apply_current>("PortfolioSession.apply_current", kBarIntentParams,
                                              Returns{"list[EngineEvent]"},
                                              "Step the pending event through its instrument's kernel and advance.");

// ---------------------------------------------------------------------------
// Orders

std::uint64_t submit_order(Exclusive<State>& self, std::uint64_t instrument, const SubmittedOrder& order) {
    return unwrap(self->live().submit_order(instrument, order.args()));
}

constexpr auto kSubmitParams = splice({"instrument"}, kSubmittedOrderParams);
constexpr auto kSubmit = method<submit_order>("PortfolioSession.submit_order", kSubmitParams.items, Returns{"int"},
                                              "Submit a typed order routed to one instrument's kernel.");

bool cancel_order(Exclusive<State>& self, std::uint64_t instrument, std::uint64_t idx, std::uint64_t id) {
    return unwrap(self->live().cancel_order(instrument, idx, id));
}

constexpr auto kCancel = method<cancel_order>("PortfolioSession.cancel_order", {"instrument", "idx", "order_id"},
                                              Returns{"bool"}, "");

bool modify_order(Exclusive<State>& self, std::uint64_t instrument, std::uint64_t id, const OrderChange& change) {
    change.check();
    return unwrap(self->live().modify_order(instrument, id, change.units, change.size_frac, change.limit_price,
                                           change.trigger_price));
}

constexpr auto kModifyParams = splice({"instrument", "order_id"}, kOrderChangeParams);
constexpr auto kModify = method<modify_order>("PortfolioSession.modify_order", kModifyParams.items, Returns{"bool"},
                                              "Replace a working order's prices and/or quantity on one instrument.");

std::vector<std::uint64_t> cancel_all_orders(Exclusive<State>& self, std::uint64_t instrument, std::uint64_t idx) {
    return unwrap(self->live().cancel_all_orders(instrument, idx));
}

constexpr auto kCancelAll = method<cancel_all_orders>("PortfolioSession.cancel_all_orders", {"instrument", "idx"},
                                                      Returns{"list[int]"}, "");

PyObject* link_oco(Exclusive<State>& self, std::uint64_t instrument, const std::vector<std::uint64_t>& ids) {
    unwrap(self->live().link_oco(instrument, ids));
    return Py_NewRef(Py_None);
}

constexpr auto kLink = method<link_oco>("PortfolioSession.link_oco", {"instrument", "order_ids"}, Returns{"None"}, "");

PyObject* set_underlying_price(Exclusive<State>& self, std::uint64_t instrument, std::optional<double> price) {
    unwrap(self->live().set_underlying_price(instrument, price));
    return Py_NewRef(Py_None);
}

constexpr auto kUnderlying = method<set_underlying_price>(
    "PortfolioSession.set_underlying_price", {"instrument", {"price", None}}, Returns{"None"},
    "Set the underlying price one instrument settles its options against.");

std::uint64_t adopt_position(Exclusive<State>& self, std::uint64_t instrument, std::int64_t ts, double price,
                             double size) {
    return unwrap(self->live().adopt_position(instrument, ts, price, size));
}

constexpr auto kAdopt = method<adopt_position>(
    "PortfolioSession.adopt_position", {"instrument", "timestamp_ns", "price", "size"}, Returns{"int"},
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

PyObject* request_close(Exclusive<State>& self, std::uint64_t instrument, std::uint64_t id) {
    unwrap(self->live().request_close(instrument, id));
    return Py_NewRef(Py_None);
}

constexpr auto kRequestClose = method<request_close>("PortfolioSession.request_close", {"instrument", "position_id"},
                                                     Returns{"None"}, "");

// ---------------------------------------------------------------------------
// Queries

std::vector<PositionSnapshot> positions(Exclusive<State>& self, std::uint64_t instrument) {
    return unwrap(self->live().kernel(instrument))->positions();
}

std::optional<PositionSnapshot> position(Exclusive<State>& self, std::uint64_t instrument) {
    return unwrap(self->live().kernel(instrument))->position();
}

Ref working_orders(Exclusive<State>& self, std::uint64_t instrument) {
    const std::vector<WorkingOrderView> orders = unwrap(self->live().working_orders(instrument));
    return list_of(orders.size(), [&](std::size_t i) {
        const WorkingOrderView& o = orders[i];
        return tuple(to_py(o.order_id), to_py(o.client_id), to_py(o.side), to_py(o.kind), to_py(o.status),
                     to_py(o.filled_qty), to_py(o.units));
    });
}

constexpr auto kPositions = method<positions>("PortfolioSession.positions", {"instrument"},
                                              Returns{"list[PositionSnapshot]"},
                                              "Open positions of one instrument, in opening order.");
constexpr auto kPosition = method<position>("PortfolioSession.position", {"instrument"},
                                            Returns{"PositionSnapshot | None"},
                                            "Earliest open position of one instrument, or None.");
constexpr auto kWorking = method<working_orders>(
    "PortfolioSession.working_orders", {"instrument"}, Returns{"list[tuple[int, str, str, str, str, float, float]]"},
    "Working orders of one instrument as\n"
    "`(order_id, client_id, side, kind, status, filled_qty, units)` \u2014\n"
    "`units` is `nan` for a capital-fraction or close-all order. Status is\n"
    "`accepted`, `triggered` or `partially_filled`.");

double equity(Exclusive<State>& self) { return self->live().equity(); }
double cash(Exclusive<State>& self) { return self->live().cash(); }
double free_capital(Exclusive<State>& self) { return self->live().free_capital(); }
bool is_halted(Exclusive<State>& self) { return self->live().is_halted(); }

Ref finish(Exclusive<State>& self) { return new_portfolio_result(self->take().finish()); }

// The schedule's length, merged and pushed entries alike, applied ones included.
Py_ssize_t length(PyObject* self) {
    Py_ssize_t n = -1;
    PyObject* ok = guarded([&]() -> PyObject* {
        auto* r = as_record<State>(self);
        SharedBorrow b(r->borrow);
        n = static_cast<Py_ssize_t>(std::as_const(r->value).live().size());
        return Py_None;  // borrowed: only tested against NULL
    });
    return ok == nullptr ? -1 : n;
}

constexpr auto kCurrentDepth = method<current_depth>(
    "PortfolioSession.current_depth", Returns{"tuple[list[tuple[float, float]], list[tuple[float, float]]] | None"},
    "Full levels of the pending depth event, or `None` for other kinds.\n\n"
    "Returns `(bids, asks)` as `(price, size)` lists, best first.");
constexpr auto kSeal = method<seal>("PortfolioSession.seal", Returns{"None"},
                                    "Merge all streams into the deterministic schedule.");
constexpr auto kRemaining = method<remaining>("PortfolioSession.remaining", Returns{"int"},
                                              "Events pushed or merged but not yet applied.");
constexpr auto kCurrent = method<current>("PortfolioSession.current",
                                          Returns{"tuple[int, int, int, float, float, float, float, float] | None"},
                                          "The pending event: `(instrument, local_idx, ts, o, h, l, c, v)`.\n\n"
                                          "Bar sessions only. A session carrying ticks must use\n"
                                          "`PortfolioSession.current_event`, which names the payload kind;\n"
                                          "this returns `None` on a non-bar event rather than mispresenting a\n"
                                          "print as a bar.");
constexpr auto kCurrentEvent = method<current_event>(
    "PortfolioSession.current_event", Returns{"tuple[str, int, int, int, float, float, float, float, float] | None"},
    "The pending event, tagged by kind:\n"
    "`(kind, instrument, local_idx, ts, a, b, c, d, e)` where `kind` is\n"
    "`\"bar\"` (o/h/l/c/v), `\"trade\"` (price, size, oi, 0, 0) or `\"quote\"`\n"
    "(bid, ask, bid_size, ask_size, 0) \u2014 a size is `NaN` when the feed\n"
    "carried none.");
constexpr auto kEquity = method<equity>("PortfolioSession.equity", Returns{"float"},
                                        "Portfolio equity: pool plus every instrument's last-known mark.");
constexpr auto kCash = method<cash>("PortfolioSession.cash", Returns{"float"},
                                    "Shared cash balance. In margin mode this includes locked initial\n"
                                    "margin; see `free_capital()` for what can fund a new position.");
constexpr auto kFreeCapital = method<free_capital>(
    "PortfolioSession.free_capital", Returns{"float"},
    "Capital available to open new positions across all instruments.\n\n"
    "Equals `cash()` in cash mode; net of locked initial margin otherwise.");
constexpr auto kIsHalted = method<is_halted>("PortfolioSession.is_halted", Returns{"bool"},
                                             "Whether a margin call or drawdown kill-switch has latched.");
constexpr auto kFinish = method<finish>("PortfolioSession.finish", Returns{"PortfolioResult"},
                                        "Force-close all instruments and compute portfolio metrics.");

PyMethodDef kMethods[] = {
    fast_method<kAdd>(),
    fast_method<kSetBars>(),
    fast_method<kSetTicks>(),
    fast_method<kSetDepth>(),
    noargs<kCurrentDepth>(),
    noargs<kSeal>(),
    fast_method<kPushTick>(),
    fast_method<kPushBar>(),
    fast_method<kPushDepth>(),
    noargs<kRemaining>(),
    noargs<kCurrent>(),
    noargs<kCurrentEvent>(),
    fast_method<kApply>(),
    fast_method<kSubmit>(),
    fast_method<kCancel>(),
    fast_method<kModify>(),
    fast_method<kCancelAll>(),
    fast_method<kLink>(),
    fast_method<kUnderlying>(),
    fast_method<kAdopt>(),
    fast_method<kRequestClose>(),
    fast_method<kPositions>(),
    fast_method<kWorking>(),
    fast_method<kPosition>(),
    noargs<kEquity>(),
    noargs<kCash>(),
    noargs<kFreeCapital>(),
    noargs<kIsHalted>(),
    noargs<kFinish>(),
    kMethodEnd,
};

PyType_Slot kSlots[] = {
    doc_slot<kNew>(),
    new_slot<kNew>(),
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
