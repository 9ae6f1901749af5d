// KernelSession: one instrument driven bar by bar from Python, and the two records it
// hands back, EngineEvent and PositionSnapshot.
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

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
#include "python/declare.h"
#include "python/engine_event_records.h"
#include "python/fields.h"
#include "python/live_session.h"
#include "python/order_args.h"
#include "python/param_list.h"
#include "python/registration.h"
#include "python/session_args.h"

namespace tarnwick::python {

using domain::BacktestConfig;
using domain::InstrumentConfig;
using domain::InstrumentSpec;
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

struct KernelSessionState : LiveSession<CoreSession> {
    using LiveSession::LiveSession;
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

// What each kind does not carry reads as None. Texts are converted from the record in
// place, without a copy on the way.
Ref event_kind(const KernelEvent& e) { return to_py(name(e.kind)); }
std::uint64_t event_idx(const KernelEvent& e) { return e.idx; }
std::optional<double> event_price(const KernelEvent& e) {
    return has_fill(e.kind) ? std::optional<double>(e.price) : std::nullopt;
}
std::optional<double> event_size(const KernelEvent& e) {
    return has_fill(e.kind) ? std::optional<double>(e.size) : std::nullopt;
}
std::optional<std::int32_t> event_direction(const KernelEvent& e) {
    const bool carries = e.kind == KernelEventKind::Entered || e.kind == KernelEventKind::Exited;
    return carries ? std::optional<std::int32_t>(e.code) : std::nullopt;
}
// Copied once, into the new Trade.
Ref event_trade(const KernelEvent& e) { return e.trade ? new_trade(*e.trade) : Ref::borrow(Py_None); }
Ref event_reject_reason(const KernelEvent& e) {
    if (e.kind == KernelEventKind::EntryRejected) return to_py(name(e.reject_reason()));
    if (e.kind == KernelEventKind::OrderRejected) return to_py(e.reason);
    return Ref::borrow(Py_None);
}
std::optional<std::uint64_t> event_order_id(const KernelEvent& e) {
    return has_order(e.kind) ? std::optional<std::uint64_t>(e.id) : std::nullopt;
}
Ref event_client_order_id(const KernelEvent& e) {
    return has_order(e.kind) ? to_py(e.text) : Ref::borrow(Py_None);
}

constexpr Returns kText{"str"};
constexpr Returns kOptionalText{"str | None"};

PyObject* event_repr(PyObject* self) {
    return read<KernelEvent>(self, [](const KernelEvent& v) {
        return to_py(base::fmt::format("EngineEvent(kind={}, idx={})", name(v.kind), v.idx)).release();
    });
}

PyGetSetDef kEventGetSet[] = {
    getter<event_kind>("kind", kText),
    getter<event_idx>("idx"),
    getter<event_price>("price", "Fill price, for `entered`/`order_filled` events."),
    getter<event_size>("size", "Position size, for `entered`/`order_filled` events."),
    getter<event_direction>("direction", "Trade direction (1 long, -1 short), for `entered` events."),
    getter<event_trade>("trade", Returns{"Trade | None"}, "Completed trade, for `exited` events."),
    getter<event_reject_reason>("reject_reason", kOptionalText,
                                "Refusal reason, for `entry_rejected`/`order_rejected` events."),
    getter<event_order_id>("order_id", "Engine order id, for `order_*` events."),
    getter<event_client_order_id>("client_order_id", kOptionalText,
                                  "Caller-supplied order identifier, for `order_*` events."),
    kGetSetEnd,
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
    kGetSetEnd,
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

KS construct(std::string symbol, std::int32_t direction, std::optional<BacktestConfig>&& config,
             std::optional<InstrumentConfig> instrument_config, std::optional<InstrumentSpec> instrument,
             const std::string& oms, const std::string& account, double leverage) {
    const std::int8_t checked = checked_direction(direction);
    const BacktestConfig cfg = std::move(config).value_or(BacktestConfig{});
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
    return KS(CoreSession(std::move(kc)));
}

constexpr auto kNew = constructor<construct>(
    "KernelSession.__new__",
    {{"symbol", "ASSET"}, {"direction", 1}, {"config", None}, {"instrument_config", None}, {"instrument", None},
     {"oms_type", "netting"}, {"account_type", "cash"}, {"leverage", 1.0}},
    Returns{"KernelSession"},
    "Per-bar simulation session for one instrument.\n\n"
    "Drive it by calling `KernelSession.step` once per bar in ascending\n"
    "order, then `KernelSession.finish` to obtain the standard backtest\n"
    "result. Scalars cross the boundary per bar, so a Python driver loop pays\n"
    "one FFI call per bar with no array allocation.");

Ref step(Exclusive<KS>& self, std::uint64_t idx, const BarValues& bar, const BarIntents& intents) {
    return event_list(self->live().step(idx, bar, intents));
}

constexpr auto kStepParams = splice({"idx"}, kBarValueParams, kBarIntentParams);
constexpr auto kStep = method<step>(
    "KernelSession.step", kStepParams.items, Returns{"list[EngineEvent]"},
    "Advance the session by one bar.\n\n"
    "`entry`/`exit` carry the strategy's order intents for this bar;\n"
    "`stop_price`/`target_price` optionally pin explicit exit levels for an\n"
    "entry opened on this bar, overriding the configured stop/target models.");

Ref finish(Exclusive<KS>& self) { return new_run_result(self->take().finish()); }

// Reads of a live session, taken shared.
std::vector<PositionSnapshot> positions(Shared<KS>& self) { return self->live().kernel().positions(); }
std::optional<PositionSnapshot> position(Shared<KS>& self) { return self->live().kernel().position(); }
double free_capital(Shared<KS>& self) { return self->live().kernel().free_capital(); }
double equity(Shared<KS>& self) { return self->live().equity(); }
double cash(Shared<KS>& self) { return self->live().kernel().cash(); }
bool is_in_position(Shared<KS>& self) { return self->live().kernel().in_position(); }
std::vector<std::uint64_t> open_order_ids(Shared<KS>& self) { return self->live().kernel().open_order_ids(); }

PyObject* set_underlying_price(Exclusive<KS>& self, std::optional<double> price) {
    self->live().kernel().set_underlying_price(price);
    return Py_NewRef(Py_None);
}

constexpr auto kUnderlying = method<set_underlying_price>(
    "KernelSession.set_underlying_price", {{"price", None}}, Returns{"None"},
    "Set the underlying price used to settle options at expiry.\n\n"
    "An option's own bars carry the option's price, so intrinsic value\n"
    "needs the underlying from somewhere else. Without it, contracts\n"
    "settle at their own close.");

template <bool Stop>
PyObject* set_level(Exclusive<KS>& self, std::optional<double> price, std::optional<std::uint64_t> id) {
    Kernel& k = self->live().kernel();
    unwrap(Stop ? k.set_stop_price(price, id) : k.set_target_price(price, id));
    return Py_NewRef(Py_None);
}

constexpr auto kSetStop = method<set_level<true>>("KernelSession.set_stop_price", {"price", {"position_id", None}},
                                                  Returns{"None"},
                                                  "Overwrite a position's stop price; no-op when flat.\n\n"
                                                  "Without `position_id` targets the earliest open position.");
constexpr auto kSetTarget = method<set_level<false>>("KernelSession.set_target_price",
                                                     {"price", {"position_id", None}}, Returns{"None"},
                                                     "Overwrite a position's target price; no-op when flat.");

PyObject* request_close(Exclusive<KS>& self, std::uint64_t id) {
    self->live().kernel().request_close(id);
    return Py_NewRef(Py_None);
}

constexpr auto kRequestClose = method<request_close>("KernelSession.request_close", {"position_id"}, Returns{"None"},
                                                     "Request a close of a specific position on the next step.");

// ---------------------------------------------------------------------------
// Orders between steps: whatever they cause is queued and heads the next step's events.

std::uint64_t submit_order(Exclusive<KS>& self, const SubmittedOrder& order) {
    return unwrap(self->live().kernel().submit_order(order.args()));
}

constexpr auto kSubmit = method<submit_order>(
    "KernelSession.submit_order", kSubmittedOrderParams, Returns{"int"},
    "Submit an order.\n\n"
    "`side` is `\"buy\"`/`\"sell\"`; `kind` is `\"market\"`, `\"limit\"`,\n"
    "`\"stop_market\"`, or `\"stop_limit\"`; `tif` is `\"gtc\"`, `\"day\"`,\n"
    "`\"gtd\"` (requires `expire_ns`), `\"ioc\"`, or `\"fok\"`. Exactly one of\n"
    "`units`/`size_frac` sizes an opening order; omit both to close the\n"
    "full position with a closing-side order. Returns the engine order id.");

PyObject* link_oco(Exclusive<KS>& self, const std::vector<std::uint64_t>& ids) {
    self->live().kernel().link_oco(ids);
    return Py_NewRef(Py_None);
}

constexpr auto kLink = method<link_oco>("KernelSession.link_oco", {"order_ids"}, Returns{"None"},
                                        "Put working orders in one one-cancels-other group.");

bool cancel_order(Exclusive<KS>& self, std::uint64_t idx, std::uint64_t id) {
    return self->live().kernel().cancel_order(idx, id);
}

constexpr auto kCancel = method<cancel_order>("KernelSession.cancel_order", {"idx", "order_id"}, Returns{"bool"},
                                              "Cancel a working order; `false` for unknown/finished ids.");

std::vector<std::uint64_t> cancel_all_orders(Exclusive<KS>& self, std::uint64_t idx) {
    return self->live().kernel().cancel_all_orders(idx);
}

constexpr auto kCancelAll = method<cancel_all_orders>("KernelSession.cancel_all_orders", {"idx"},
                                                      Returns{"list[int]"},
                                                      "Cancel every working order, returning canceled ids.");

std::uint64_t submit_twap(Exclusive<KS>& self, double units, const std::string& side, std::uint32_t slices,
                          std::int64_t interval_ns, std::uint64_t submitted_idx, std::int64_t submitted_ts,
                          const std::string& client_id, bool reduce_only) {
    // The side is judged before the session's state, the other values after it.
    if (side != "buy" && side != "sell") {
        raise(PyExc_ValueError, base::fmt::format("side must be 'buy' or 'sell', got {}", side));
    }
    TwapArgs t;
    t.units = units;
    t.side = side;
    t.slices = slices;
    t.interval_ns = interval_ns;
    t.submitted_idx = submitted_idx;
    t.submitted_ts = submitted_ts;
    t.client_id = client_id;
    t.reduce_only = reduce_only;
    return unwrap(self->live().kernel().submit_twap(t));
}

constexpr auto kTwap = method<submit_twap>(
    "KernelSession.submit_twap",
    {"units", "side", "slices", "interval_ns", "submitted_idx", "submitted_ts", "client_id", {"reduce_only", false}},
    Returns{"int"}, "Register a TWAP schedule; returns its id.");

bool cancel_twap(Exclusive<KS>& self, std::uint64_t algo, std::uint64_t idx) {
    return self->live().kernel().cancel_twap(algo, idx);
}

constexpr auto kCancelTwap = method<cancel_twap>("KernelSession.cancel_twap", {"algo_id", "idx"}, Returns{"bool"},
                                                 "Stop a schedule and cancel the slices it has working.");

bool modify_order(Exclusive<KS>& self, std::uint64_t id, const OrderChange& change) {
    change.check();
    return unwrap(self->live().kernel().modify_order(id, change.units, change.size_frac, change.limit_price,
                                                    change.trigger_price));
}

constexpr auto kModifyParams = splice({"order_id"}, kOrderChangeParams);
constexpr auto kModify = method<modify_order>("KernelSession.modify_order", kModifyParams.items, Returns{"bool"},
                                              "Replace a working order's prices and/or quantity.");

constexpr auto kOpenOrderIds = method<open_order_ids>("KernelSession.open_order_ids", Returns{"list[int]"},
                                                      "Ids of all non-terminal orders, in submission order.");
constexpr auto kPositions = method<positions>("KernelSession.positions", Returns{"list[PositionSnapshot]"},
                                              "Read-only views of every open position, in opening order.");
constexpr auto kFreeCapital = method<free_capital>("KernelSession.free_capital", Returns{"float"},
                                                   "Cash not locked as margin (margin mode); all cash otherwise.");
constexpr auto kEquity = method<equity>("KernelSession.equity", Returns{"float"},
                                        "Mark-to-market equity after the most recent step.");
constexpr auto kCash = method<cash>("KernelSession.cash", Returns{"float"}, "Current uninvested cash.");
constexpr auto kIsInPosition = method<is_in_position>("KernelSession.is_in_position", Returns{"bool"},
                                                      "Whether a position is currently open.");
constexpr auto kPosition = method<position>("KernelSession.position", Returns{"PositionSnapshot | None"},
                                            "Read-only view of the earliest open position, or `None` when flat.");
constexpr auto kFinish = method<finish>("KernelSession.finish", Returns{"BacktestResult"},
                                        "Force-close any open position and compute final metrics.\n\n"
                                        "Consumes the session; further calls raise.");

PyMethodDef kSessionMethods[] = {
    fast_method<kStep>(),
    fast_method<kSubmit>(),
    fast_method<kLink>(),
    fast_method<kCancel>(),
    fast_method<kCancelAll>(),
    fast_method<kUnderlying>(),
    fast_method<kTwap>(),
    fast_method<kCancelTwap>(),
    fast_method<kModify>(),
    noargs<kOpenOrderIds>(),
    fast_method<kSetStop>(),
    fast_method<kSetTarget>(),
    fast_method<kRequestClose>(),
    noargs<kPositions>(),
    noargs<kFreeCapital>(),
    noargs<kEquity>(),
    noargs<kCash>(),
    noargs<kIsInPosition>(),
    noargs<kPosition>(),
    noargs<kFinish>(),
    kMethodEnd,
};

PyType_Slot kSessionSlots[] = {
    doc_slot<kNew>(),
    new_slot<kNew>(),
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
