// KernelSession: one instrument driven bar by bar from Python, and the two records it
// hands back, EngineEvent and PositionSnapshot.
#include <optional>

#include "base/format.h"
#include "engine/backtest_result.h"
#include "engine/core_session.h"
#include "engine/kernel_config.h"
#include "engine/kernel_event.h"
#include "engine/ledger.h"
#include "engine/orders/order_request.h"
#include "engine/orders/twap.h"
#include "python/bound_records.h"
#include "python/classes.h"
#include "python/direction.h"
#include "python/engine_event_records.h"
#include "python/fields.h"
#include "python/order_args.h"
#include "python/registration.h"

namespace tarnwick::python {

using domain::BacktestConfig;
using domain::BarSignal;
using domain::InstrumentConfig;
using domain::InstrumentSpec;
using domain::OhlcvBar;
using domain::variant_name;
using engine::AccountSetup;
using engine::CoreSession;
using engine::Kernel;
using engine::KernelConfig;
using engine::KernelEvent;
using engine::KernelEventKind;
using engine::OmsType;
using engine::PositionSnapshot;
using engine::TwapArgs;
using engine::parse_account_type;
using engine::parse_oms_type;

// A live session owns its core session; a finished one holds nothing.
struct KernelSessionState {
    std::optional<CoreSession> core;
};

template <>
struct Bound<KernelSessionState> {
    static constexpr const char* name = "KernelSession";
    static PyTypeObject* type();
};

namespace {

// ---------------------------------------------------------------------------
// EngineEvent: which optional fields a kind carries.

bool has_fill(KernelEventKind k) {
    return k == KernelEventKind::Entered || k == KernelEventKind::Exited || k == KernelEventKind::OrderFilled ||
           k == KernelEventKind::MarginCall;
}
bool has_order(KernelEventKind k) {
    switch (k) {
        case KernelEventKind::OrderAccepted:
        case KernelEventKind::OrderTriggered:
        case KernelEventKind::OrderFilled:
        case KernelEventKind::OrderCanceled:
        case KernelEventKind::OrderExpired:
        case KernelEventKind::OrderRejected:
        case KernelEventKind::AlgoStarted:
        case KernelEventKind::AlgoCompleted: return true;
        default: return false;
    }
}

PyObject* event_kind(PyObject* self, void*) {
    return read<KernelEvent>(self, [](const KernelEvent& e) { return to_py(name(e.kind)); });
}
PyObject* event_idx(PyObject* self, void*) {
    return read<KernelEvent>(self, [](const KernelEvent& e) { return to_py(e.idx); });
}
PyObject* event_price(PyObject* self, void*) {
    return read<KernelEvent>(self, [](const KernelEvent& e) {
        return has_fill(e.kind) ? to_py(e.price) : Ref::borrow(Py_None);
    });
}
PyObject* event_size(PyObject* self, void*) {
    return read<KernelEvent>(self, [](const KernelEvent& e) {
        return has_fill(e.kind) ? to_py(e.size) : Ref::borrow(Py_None);
    });
}
PyObject* event_direction(PyObject* self, void*) {
    return read<KernelEvent>(self, [](const KernelEvent& e) {
        const bool carries = e.kind == KernelEventKind::Entered || e.kind == KernelEventKind::Exited;
        return carries ? to_py(static_cast<std::int32_t>(e.code)) : Ref::borrow(Py_None);
    });
}
PyObject* event_trade(PyObject* self, void*) {
    return read<KernelEvent>(self, [](const KernelEvent& e) {
        return e.trade ? new_trade(*e.trade) : Ref::borrow(Py_None);
    });
}
PyObject* event_reject_reason(PyObject* self, void*) {
    return read<KernelEvent>(self, [](const KernelEvent& e) {
        if (e.kind == KernelEventKind::EntryRejected) return to_py(name(e.reject_reason()));
        if (e.kind == KernelEventKind::OrderRejected) return to_py(e.reason);
        return Ref::borrow(Py_None);
    });
}
PyObject* event_order_id(PyObject* self, void*) {
    return read<KernelEvent>(self, [](const KernelEvent& e) {
        return has_order(e.kind) ? to_py(e.id) : Ref::borrow(Py_None);
    });
}
PyObject* event_client_order_id(PyObject* self, void*) {
    return read<KernelEvent>(self, [](const KernelEvent& e) {
        return has_order(e.kind) ? to_py(e.text) : Ref::borrow(Py_None);
    });
}

PyObject* event_repr(PyObject* self) {
    return read<KernelEvent>(self, [](const KernelEvent& v) {
        return to_py(base::fmt::format("EngineEvent(kind={}, idx={})", name(v.kind), v.idx)).release();
    });
}

PyGetSetDef kEventGetSet[] = {
    {"kind", event_kind, nullptr, nullptr, nullptr},
    {"idx", event_idx, nullptr, nullptr, nullptr},
    {"price", event_price, nullptr, "Fill price, for `entered`/`order_filled` events.", nullptr},
    {"size", event_size, nullptr, "Position size, for `entered`/`order_filled` events.", nullptr},
    {"direction", event_direction, nullptr, "Trade direction (1 long, -1 short), for `entered` events.", nullptr},
    {"trade", event_trade, nullptr, "Completed trade, for `exited` events.", nullptr},
    {"reject_reason", event_reject_reason, nullptr, "Refusal reason, for `entry_rejected`/`order_rejected` events.",
     nullptr},
    {"order_id", event_order_id, nullptr, "Engine order id, for `order_*` events.", nullptr},
    {"client_order_id", event_client_order_id, nullptr, "Caller-supplied order identifier, for `order_*` events.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kEventSlots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "One observable outcome of a session step.\n\n`kind` is `\"entered\"`, `\"exited\"`, "
                    "`\"entry_rejected\"`, or one of the\norder-lifecycle kinds (`\"order_accepted\"`, "
                    "`\"order_triggered\"`,\n`\"order_filled\"`, `\"order_canceled\"`, `\"order_expired\"`,\n"
                    "`\"order_rejected\"`); the optional fields are populated according to the\nkind.")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_record<KernelEvent>)},
    {Py_tp_repr, reinterpret_cast<void*>(plain_entry<event_repr>)},
    {Py_tp_getset, kEventGetSet},
    {0, nullptr},
};

// ---------------------------------------------------------------------------
// PositionSnapshot

using P = PositionSnapshot;

PyObject* snapshot_repr(PyObject* self) {
    return read<P>(self, [](const P& p) {
        return to_py(base::fmt::format("PositionSnapshot(entry_idx={}, entry_price={}, size={}, direction={})",
                                       p.entry_idx, base::fmt::fixed(p.entry_price, 2), base::fmt::fixed(p.size, 2),
                                       p.direction))
            .release();
    });
}

PyGetSetDef kSnapshotGetSet[] = {
    read_only<&P::position_id>("position_id", "Ledger position id, unique within a session."),
    read_only<&P::entry_idx>("entry_idx"),
    read_only<&P::entry_price>("entry_price"),
    read_only<&P::size>("size"),
    read_only<&P::direction>("direction", "1 for long, -1 for short."),
    read_only<&P::stop_price>("stop_price"),
    read_only<&P::target_price>("target_price"),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSnapshotSlots[] = {
    {Py_tp_doc, const_cast<char*>("Read-only view of the session's open position.")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_record<P>)},
    {Py_tp_repr, reinterpret_cast<void*>(plain_entry<snapshot_repr>)},
    {Py_tp_getset, kSnapshotGetSet},
    {0, nullptr},
};

// ---------------------------------------------------------------------------
// KernelSession

using KS = KernelSessionState;

constexpr const char* kFinished = "session is finished; create a new one";

// Every method takes the session before it converts an argument: a conversion runs Python
// code (`__float__`, `__index__`), and one that calls back into this session must find it
// borrowed rather than change it under the call.

CoreSession& live(KS& s) {
    if (!s.core) raise(PyExc_ValueError, kFinished);
    return *s.core;
}

constexpr auto kNew = constructor(
    "KernelSession.__new__", {{"symbol", "\"ASSET\""}, {"direction", "1"}, {"config", "None"},
                              {"instrument_config", "None"}, {"instrument", "None"}, {"oms_type", "\"netting\""},
                              {"account_type", "\"cash\""}, {"leverage", "1.0"}},
    "Per-bar simulation session for one instrument.\n\n"
    "Drive it by calling `KernelSession.step` once per bar in ascending\n"
    "order, then `KernelSession.finish` to obtain the standard backtest\n"
    "result. Scalars cross the boundary per bar, so a Python driver loop pays\n"
    "one FFI call per bar with no array allocation.");

PyObject* construct(PyTypeObject*, const Args& a) {
    std::string symbol = a.get_or<std::string>(0, "ASSET");
    const auto direction = a.get_or<std::int32_t>(1, 1);
    const auto config = a.opt<BacktestConfig>(2);
    auto instrument_config = a.opt<InstrumentConfig>(3);
    auto instrument = a.opt<InstrumentSpec>(4);
    const std::string oms = a.get_or<std::string>(5, "netting");
    const std::string account = a.get_or<std::string>(6, "cash");
    const double leverage = a.get_or<double>(7, 1.0);

    const std::int8_t checked = checked_direction(direction);
    const BacktestConfig cfg = config.value_or(BacktestConfig{});
    const OmsType oms_type = unwrap(parse_oms_type(oms));
    const AccountSetup setup = unwrap(parse_account_type(account, leverage));
    KernelConfig kc = KernelConfig::for_session(cfg, std::move(symbol), checked, std::move(instrument_config));
    if (instrument) {
        if (!instrument->tradable()) {
            raise(PyExc_ValueError, base::fmt::format("instrument {} is not tradable (kind={})", instrument->symbol,
                                                      variant_name(instrument->kind.tag)));
        }
        kc.instrument = std::move(instrument);
    }
    kc.account_type = setup.type;
    kc.leverage = setup.leverage;
    kc.oms = oms_type;
    KS state;
    state.core.emplace(std::move(kc));
    return wrap(std::move(state)).release();
}

constexpr auto kStep = method(
    "KernelSession.step", {"idx", "timestamp", "open", "high", "low", "close", "volume", {"entry", "False"},
                           {"exit", "False"}, {"atr", "0.0"}, {"size_mult", "None"}, {"stop_price", "None"},
                           {"target_price", "None"}},
    "Advance the session by one bar.\n\n"
    "`entry`/`exit` carry the strategy's order intents for this bar;\n"
    "`stop_price`/`target_price` optionally pin explicit exit levels for an\n"
    "entry opened on this bar, overriding the configured stop/target models.");

PyObject* step(PyObject* self, const Args& a) {
    auto* r = as_record<KS>(self);
    ExclusiveBorrow b(r->borrow);
    const auto idx = a.get<std::uint64_t>(0);
    OhlcvBar bar;
    bar.timestamp = a.get<std::int64_t>(1);
    bar.open = a.get<double>(2);
    bar.high = a.get<double>(3);
    bar.low = a.get<double>(4);
    bar.close = a.get<double>(5);
    bar.volume = a.get<double>(6);
    BarSignal signal;
    signal.entry = a.get_or<bool>(7, false);
    signal.exit = a.get_or<bool>(8, false);
    signal.atr = a.get_or<double>(9, 0.0);
    signal.size_mult = a.opt<double>(10);
    signal.stop_price = a.opt<double>(11);
    signal.target_price = a.opt<double>(12);
    return event_list(live(r->value).step(idx, bar, signal)).release();
}

PyObject* finish(PyObject* self) {
    auto* r = as_record<KS>(self);
    ExclusiveBorrow b(r->borrow);
    if (!r->value.core) raise(PyExc_ValueError, "session is already finished");
    CoreSession core = std::move(*r->value.core);
    r->value.core.reset();
    return new_run_result(std::move(core).finish()).release();
}

// Shared read of a live session.
template <class F>
PyObject* query(PyObject* self, F&& f) {
    auto* r = as_record<KS>(self);
    SharedBorrow b(r->borrow);
    return f(live(r->value)).release();
}

PyObject* positions(PyObject* self) {
    return query(self, [](CoreSession& s) {
        return record_list(s.kernel().positions());
    });
}
PyObject* position(PyObject* self) {
    return query(self, [](CoreSession& s) {
        auto p = s.kernel().position();
        return p ? wrap(*p) : Ref::borrow(Py_None);
    });
}
PyObject* free_capital(PyObject* self) {
    return query(self, [](CoreSession& s) { return to_py(s.kernel().free_capital()); });
}
PyObject* equity(PyObject* self) {
    return query(self, [](CoreSession& s) { return to_py(s.equity()); });
}
PyObject* cash(PyObject* self) {
    return query(self, [](CoreSession& s) { return to_py(s.kernel().cash()); });
}
PyObject* is_in_position(PyObject* self) {
    return query(self, [](CoreSession& s) { return to_py(s.kernel().in_position()); });
}

constexpr auto kUnderlying = method("KernelSession.set_underlying_price", {{"price", "None"}},
                                    "Set the underlying price used to settle options at expiry.\n\n"
                                    "An option's own bars carry the option's price, so intrinsic value\n"
                                    "needs the underlying from somewhere else. Without it, contracts\n"
                                    "settle at their own close.");
PyObject* set_underlying_price(PyObject* self, const Args& a) {
    auto* r = as_record<KS>(self);
    ExclusiveBorrow b(r->borrow);
    const auto price = a.opt<double>(0);
    live(r->value).kernel().set_underlying_price(price);
    return Py_NewRef(Py_None);
}

constexpr auto kSetStop = method("KernelSession.set_stop_price", {"price", {"position_id", "None"}},
                                 "Overwrite a position's stop price; no-op when flat.\n\n"
                                 "Without `position_id` targets the earliest open position.");
constexpr auto kSetTarget = method("KernelSession.set_target_price", {"price", {"position_id", "None"}},
                                   "Overwrite a position's target price; no-op when flat.");

template <bool Stop>
PyObject* set_level(PyObject* self, const Args& a) {
    auto* r = as_record<KS>(self);
    ExclusiveBorrow b(r->borrow);
    const auto price = a.get<std::optional<double>>(0);
    const auto id = a.opt<std::uint64_t>(1);
    Kernel& k = live(r->value).kernel();
    unwrap(Stop ? k.set_stop_price(price, id) : k.set_target_price(price, id));
    return Py_NewRef(Py_None);
}

constexpr auto kRequestClose = method("KernelSession.request_close", {"position_id"},
                                      "Request a close of a specific position on the next step.");
PyObject* request_close(PyObject* self, const Args& a) {
    auto* r = as_record<KS>(self);
    ExclusiveBorrow b(r->borrow);
    const auto id = a.get<std::uint64_t>(0);
    live(r->value).kernel().request_close(id);
    return Py_NewRef(Py_None);
}

// ---------------------------------------------------------------------------
// Orders between steps: whatever they cause is queued and heads the next step's events.

constexpr auto kSubmit = method(
    "KernelSession.submit_order", {"side", "kind", "submitted_idx", "submitted_ts", "client_id", {"units", "None"},
                                   {"size_frac", "None"}, {"limit_price", "None"}, {"trigger_price", "None"},
                                   {"tif", "\"gtc\""}, {"expire_ns", "None"}, {"stop_price", "None"},
                                   {"target_price", "None"}, {"offset", "None"}, {"offset_kind", "\"price\""},
                                   {"limit_offset", "0.0"}, {"post_only", "False"}, {"reduce_only", "False"},
                                   {"parent_id", "None"}},
    "Submit an order.\n\n"
    "`side` is `\"buy\"`/`\"sell\"`; `kind` is `\"market\"`, `\"limit\"`,\n"
    "`\"stop_market\"`, or `\"stop_limit\"`; `tif` is `\"gtc\"`, `\"day\"`,\n"
    "`\"gtd\"` (requires `expire_ns`), `\"ioc\"`, or `\"fok\"`. Exactly one of\n"
    "`units`/`size_frac` sizes an opening order; omit both to close the\n"
    "full position with a closing-side order. Returns the engine order id.");

PyObject* submit_order(PyObject* self, const Args& a) {
    auto* r = as_record<KS>(self);
    ExclusiveBorrow b(r->borrow);
    const SubmittedOrder order = read_submitted_order(a, 0);
    return to_py(unwrap(live(r->value).kernel().submit_order(order.args()))).release();
}

constexpr auto kLink = method("KernelSession.link_oco", {"order_ids"},
                              "Put working orders in one one-cancels-other group.");
PyObject* link_oco(PyObject* self, const Args& a) {
    auto* r = as_record<KS>(self);
    ExclusiveBorrow b(r->borrow);
    const auto ids = a.get<std::vector<std::uint64_t>>(0);
    live(r->value).kernel().link_oco(ids);
    return Py_NewRef(Py_None);
}

constexpr auto kCancel = method("KernelSession.cancel_order", {"idx", "order_id"},
                                "Cancel a working order; `false` for unknown/finished ids.");
PyObject* cancel_order(PyObject* self, const Args& a) {
    auto* r = as_record<KS>(self);
    ExclusiveBorrow b(r->borrow);
    const auto idx = a.get<std::uint64_t>(0);
    const auto id = a.get<std::uint64_t>(1);
    return to_py(live(r->value).kernel().cancel_order(idx, id)).release();
}

constexpr auto kCancelAll = method("KernelSession.cancel_all_orders", {"idx"},
                                   "Cancel every working order, returning canceled ids.");
PyObject* cancel_all_orders(PyObject* self, const Args& a) {
    auto* r = as_record<KS>(self);
    ExclusiveBorrow b(r->borrow);
    const auto idx = a.get<std::uint64_t>(0);
    return to_py(live(r->value).kernel().cancel_all_orders(idx)).release();
}

constexpr auto kTwap = method(
    "KernelSession.submit_twap", {"units", "side", "slices", "interval_ns", "submitted_idx", "submitted_ts",
                                  "client_id", {"reduce_only", "False"}}, "Register a TWAP schedule; returns its id.");
PyObject* submit_twap(PyObject* self, const Args& a) {
    auto* r = as_record<KS>(self);
    ExclusiveBorrow b(r->borrow);
    TwapArgs t;
    t.units = a.get<double>(0);
    const std::string side = a.get<std::string>(1);
    t.slices = a.get<std::uint32_t>(2);
    t.interval_ns = a.get<std::int64_t>(3);
    t.submitted_idx = a.get<std::uint64_t>(4);
    t.submitted_ts = a.get<std::int64_t>(5);
    const std::string client_id = a.get<std::string>(6);
    t.reduce_only = a.get_or<bool>(7, false);
    // The side is judged before the session's state, the other values after it.
    if (side != "buy" && side != "sell") {
        raise(PyExc_ValueError, base::fmt::format("side must be 'buy' or 'sell', got {}", side));
    }
    t.side = side;
    t.client_id = client_id;
    return to_py(unwrap(live(r->value).kernel().submit_twap(t))).release();
}

constexpr auto kCancelTwap = method("KernelSession.cancel_twap", {"algo_id", "idx"},
                                    "Stop a schedule and cancel the slices it has working.");
PyObject* cancel_twap(PyObject* self, const Args& a) {
    auto* r = as_record<KS>(self);
    ExclusiveBorrow b(r->borrow);
    const auto algo = a.get<std::uint64_t>(0);
    const auto idx = a.get<std::uint64_t>(1);
    return to_py(live(r->value).kernel().cancel_twap(algo, idx)).release();
}

constexpr auto kModify = method(
    "KernelSession.modify_order", {"order_id", {"units", "None"}, {"size_frac", "None"}, {"limit_price", "None"},
                                   {"trigger_price", "None"}}, "Replace a working order's prices and/or quantity.");
PyObject* modify_order(PyObject* self, const Args& a) {
    auto* r = as_record<KS>(self);
    ExclusiveBorrow b(r->borrow);
    const auto id = a.get<std::uint64_t>(0);
    const auto units = a.opt<double>(1);
    const auto size_frac = a.opt<double>(2);
    const auto limit_price = a.opt<double>(3);
    const auto trigger_price = a.opt<double>(4);
    // Judged before the session's state: a finished session reports this first.
    if (units && size_frac) raise(PyExc_ValueError, "pass units or size_frac, not both");
    return to_py(unwrap(live(r->value).kernel().modify_order(id, units, size_frac, limit_price, trigger_price)))
        .release();
}

PyObject* open_order_ids(PyObject* self) {
    return query(self, [](CoreSession& s) { return to_py(s.kernel().open_order_ids()); });
}

constexpr auto kOpenOrderIds = method("KernelSession.open_order_ids",
                                      "Ids of all non-terminal orders, in submission order.");
constexpr auto kPositions = method("KernelSession.positions",
                                   "Read-only views of every open position, in opening order.");
constexpr auto kFreeCapital = method("KernelSession.free_capital",
                                     "Cash not locked as margin (margin mode); all cash otherwise.");
constexpr auto kEquity = method("KernelSession.equity", "Mark-to-market equity after the most recent step.");
constexpr auto kCash = method("KernelSession.cash", "Current uninvested cash.");
constexpr auto kIsInPosition = method("KernelSession.is_in_position", "Whether a position is currently open.");
constexpr auto kPosition = method("KernelSession.position",
                                  "Read-only view of the earliest open position, or `None` when flat.");
constexpr auto kFinish = method("KernelSession.finish",
                                "Force-close any open position and compute final metrics.\n\n"
                                "Consumes the session; further calls raise.");

PyMethodDef kSessionMethods[] = {
    fast_method<kStep, step>(),
    fast_method<kSubmit, submit_order>(),
    fast_method<kLink, link_oco>(),
    fast_method<kCancel, cancel_order>(),
    fast_method<kCancelAll, cancel_all_orders>(),
    fast_method<kUnderlying, set_underlying_price>(),
    fast_method<kTwap, submit_twap>(),
    fast_method<kCancelTwap, cancel_twap>(),
    fast_method<kModify, modify_order>(),
    noargs<kOpenOrderIds>(plain_entry<open_order_ids>),
    fast_method<kSetStop, set_level<true>>(),
    fast_method<kSetTarget, set_level<false>>(),
    fast_method<kRequestClose, request_close>(),
    noargs<kPositions>(plain_entry<positions>),
    noargs<kFreeCapital>(plain_entry<free_capital>),
    noargs<kEquity>(plain_entry<equity>),
    noargs<kCash>(plain_entry<cash>),
    noargs<kIsInPosition>(plain_entry<is_in_position>),
    noargs<kPosition>(plain_entry<position>),
    noargs<kFinish>(plain_entry<finish>),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSessionSlots[] = {
    {Py_tp_doc, class_doc<kNew>()},
    {Py_tp_new, reinterpret_cast<void*>(new_entry<kNew, construct>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_record<KS>)},
    {Py_tp_methods, kSessionMethods},
    {0, nullptr},
};

}  // namespace

PyTypeObject* engine_event_type() { return record_type<KernelEvent>("builtins.EngineEvent", kEventSlots); }
PyTypeObject* position_snapshot_type() { return record_type<P>("builtins.PositionSnapshot", kSnapshotSlots); }
PyTypeObject* Bound<KernelSessionState>::type() { return record_type<KS>("builtins.KernelSession", kSessionSlots); }

Registrations kernel_session_rows() {
    static constexpr Registration rows[] = {class_row<KernelSessionState>()};
    return rows;
}

Registrations session_record_rows() {
    static constexpr Registration rows[] = {class_row<engine::KernelEvent>(), class_row<engine::PositionSnapshot>()};
    return rows;
}

}  // namespace tarnwick::python
