// The input records: BacktestConfig, InstrumentConfig, StopConfig and TargetConfig.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "base/format.h"
#include "domain/backtest_config.h"
#include "domain/instrument_config.h"
#include "python/bound_records.h"
#include "python/classes.h"
#include "python/fields.h"
#include "python/registration.h"
#include "python/rule_setters.h"

namespace tarnwick::python {

using base::OwnError;
using base::Status;
using domain::BacktestConfig;
using domain::check_fees;
using domain::check_money_fields;
using domain::check_positive;
using domain::check_probability;
using domain::check_slippage_fraction;
using domain::parse_fill_timing;
using domain::parse_squareoff_time;

namespace {

using C = BacktestConfig;

BacktestConfig construct(double initial_capital, double fees, double slippage, bool upon_bar_close,
                         bool apply_slippage, std::optional<double> periods_per_year, double risk_free_rate,
                         std::optional<double> session_minutes, std::optional<std::string> fee_segment,
                         std::optional<std::uint64_t> max_positions, std::optional<double> max_drawdown_pct,
                         bool legacy_annualization, double fill_prob_limit, double fill_prob_slippage,
                         std::uint64_t fill_seed, bool bar_path_adaptive, bool queue_fill_model, bool partial_fills,
                         std::int64_t order_latency_ns, std::int64_t session_tz_offset_ns, double limit_slippage,
                         bool liquidate_on_margin_call, const std::optional<std::string>& squareoff_time,
                         const std::optional<std::string>& fill_timing) {
    C c;
    c.initial_capital = initial_capital;
    c.fees = fees;
    c.slippage = slippage;
    c.upon_bar_close = upon_bar_close;
    c.apply_slippage = apply_slippage;
    c.periods_per_year = periods_per_year;
    c.risk_free_rate = risk_free_rate;
    c.session_minutes = session_minutes;
    c.fee_segment = std::move(fee_segment);
    c.max_positions = max_positions;
    c.max_drawdown_pct = max_drawdown_pct;
    c.legacy_annualization = legacy_annualization;
    c.fill_prob_limit = fill_prob_limit;
    c.fill_prob_slippage = fill_prob_slippage;
    c.fill_seed = fill_seed;
    c.bar_path_adaptive = bar_path_adaptive;
    c.queue_fill_model = queue_fill_model;
    c.partial_fills = partial_fills;
    c.order_latency_ns = order_latency_ns;
    c.session_tz_offset_ns = session_tz_offset_ns;
    c.limit_slippage = limit_slippage;
    c.liquidate_on_margin_call = liquidate_on_margin_call;
    if (squareoff_time) c.squareoff_time_minutes = unwrap(parse_squareoff_time(*squareoff_time));
    if (fill_timing) c.fill_timing = unwrap(parse_fill_timing(*fill_timing));
    unwrap(check_money_fields(c));
    return c;
}

// The record's own defaults are the constructor's: one place for each value.
constexpr C kDefault{};

constexpr auto kNew = constructor<construct>(
    "BacktestConfig.__new__",
    {{"initial_capital", kDefault.initial_capital}, {"fees", kDefault.fees}, {"slippage", kDefault.slippage},
     {"upon_bar_close", kDefault.upon_bar_close}, {"apply_slippage", kDefault.apply_slippage},
     {"periods_per_year", None}, {"risk_free_rate", kDefault.risk_free_rate}, {"session_minutes", None},
     {"fee_segment", None}, {"max_positions", None}, {"max_drawdown_pct", None},
     {"legacy_annualization", kDefault.legacy_annualization}, {"fill_prob_limit", kDefault.fill_prob_limit},
     {"fill_prob_slippage", kDefault.fill_prob_slippage}, {"fill_seed", kDefault.fill_seed},
     {"bar_path_adaptive", kDefault.bar_path_adaptive}, {"queue_fill_model", kDefault.queue_fill_model},
     {"partial_fills", kDefault.partial_fills}, {"order_latency_ns", kDefault.order_latency_ns},
     {"session_tz_offset_ns", kDefault.session_tz_offset_ns}, {"limit_slippage", kDefault.limit_slippage},
     {"liquidate_on_margin_call", kDefault.liquidate_on_margin_call}, {"squareoff_time", None},
     {"fill_timing", None}},
    Returns{"BacktestConfig"},
    "Python-exposed backtest configuration.\n\n"
    "Money is in the price currency. `fees`, `slippage`, `limit_slippage`\n"
    "and `risk_free_rate` are fractions (0.001 is 0.1 %); names ending in\n"
    "`_pct` hold percent; times and offsets are nanoseconds. Every run and\n"
    "session copies the record, so later changes reach none already built.");

// The money fields' setters check the value before storing it.
Status<OwnError> check_initial_capital_field(double v) { return check_positive("initial_capital", v); }
Status<OwnError> check_fees_field(double v) { return check_fees(v); }
Status<OwnError> check_slippage_field(double v) { return check_slippage_fraction("slippage", v); }
Status<OwnError> check_limit_slippage_field(double v) { return check_slippage_fraction("limit_slippage", v); }
Status<OwnError> check_fill_prob_slippage_field(double v) { return check_probability("fill_prob_slippage", v); }

std::optional<std::string_view> fill_timing_of(const C& v) {
    if (!v.fill_timing) return std::nullopt;
    return name(*v.fill_timing);
}

constexpr Returns kNone{"None"};

constexpr auto kFixedStop = method<set_fixed_stop<C>>("BacktestConfig.set_fixed_stop", {"percent"}, kNone,
                                                      "Set fixed percentage stop-loss." TW_FIXED_STOP_UNITS);
constexpr auto kAtrStop = method<set_atr_stop<C>>("BacktestConfig.set_atr_stop", {"multiplier", "period"}, kNone,
                                                  "Set ATR-based stop-loss." TW_ATR_STOP_UNITS);
constexpr auto kTrailingStop = method<set_trailing_stop<C>>("BacktestConfig.set_trailing_stop", {"percent"}, kNone,
                                                            "Set trailing stop-loss." TW_TRAILING_STOP_UNITS);
constexpr auto kFixedTarget = method<set_fixed_target<C>>("BacktestConfig.set_fixed_target", {"percent"}, kNone,
                                                          "Set fixed percentage take-profit." TW_FIXED_TARGET_UNITS);
constexpr auto kAtrTarget = method<set_atr_target<C>>("BacktestConfig.set_atr_target", {"multiplier", "period"},
                                                      kNone, "Set ATR-based take-profit." TW_ATR_TARGET_UNITS);
constexpr auto kRiskRewardTarget =
    method<set_risk_reward_target<C>>("BacktestConfig.set_risk_reward_target", {"ratio"}, kNone,
                                      "Set risk-reward based take-profit." TW_RISK_REWARD_TARGET_UNITS);

PyMethodDef kMethods[] = {
    fast_method<kFixedStop>(),  fast_method<kAtrStop>(),   fast_method<kTrailingStop>(),
    fast_method<kFixedTarget>(), fast_method<kAtrTarget>(), fast_method<kRiskRewardTarget>(),
    kMethodEnd,
};

PyGetSetDef kGetSet[] = {
    checked_field<&C::initial_capital, check_initial_capital_field>(
        "initial_capital", "Starting cash of the account, in the price currency; finite and above 0."),
    checked_field<&C::fees, check_fees_field>(
        "fees",
        "Flat fee of every fill, entries and exits alike, as a fraction of its\n"
        "traded value: 0.001 is 0.1 %. Charged unless `fee_segment` names a\n"
        "schedule; finite and within (-1, 1) (a negative fee is a rebate)."),
    checked_field<&C::slippage, check_slippage_field>(
        "slippage",
        "Adverse slippage of every fill but a limit order's (see\n"
        "`limit_slippage`), as a fraction of the fill price: 0.0005 (5 bp) buys\n"
        "0.05 % higher and sells 0.05 % lower, stop and target exits included.\n"
        "Applied while `apply_slippage` is true; within (-1, 1)."),
    read_write<&C::upon_bar_close>("upon_bar_close",
                                   "Deprecated in favor of `fill_timing`: `True` maps to\n"
                                   "`\"same_bar_close\"`, `False` to `\"next_bar_open\"`. An explicit\n"
                                   "`fill_timing` wins over this flag."),
    read_write<&C::apply_slippage>("apply_slippage",
                                   "Whether `slippage` is applied to fills. Ignored entirely before 0.5.0."),
    read_write<&C::periods_per_year>("periods_per_year",
                                     "Explicit annualization factor; `None` infers it from bar spacing.\n\n"
                                     "Return periods per year that scale the Sharpe and Sortino ratios; pass\n"
                                     "252 for stock-exchange daily bars. When None (or not above 0) the median\n"
                                     "bar spacing decides: bars of a day or longer, or any bars with\n"
                                     "`session_minutes` 0, give 365 days over the bar length, so daily\n"
                                     "bars get 365; intraday bars get the bars per session x 252."),
    read_write<&C::risk_free_rate>("risk_free_rate",
                                   "Annual risk-free rate as a fraction.\n\n"
                                   "0.05 is 5 % a year. Divided by the periods per year, it is taken off\n"
                                   "the mean return of the Sharpe and Sortino ratios; no cash earns it."),
    read_write<&C::session_minutes>("session_minutes",
                                    "Trading minutes per session for intraday annualization.\n\n"
                                    "NSE equity 375, MCX 870, CDS 480. `0` marks a 24x7 market.\n"
                                    "`None` defaults to NSE.\n\n"
                                    "Read only to infer the periods per year of intraday bars: bars per\n"
                                    "session x 252 sessions. At 0 or below, bars are counted against a\n"
                                    "365-day year instead."),
    read_write<&C::fee_segment>("fee_segment",
                                "Itemized Indian cost segment, e.g. \"NSE\", \"NFO-OPT\", \"MCX-FUT\".\n\n"
                                "When set, the engine charges the real regulatory schedule instead of\n"
                                "the flat `fees` fraction, and reports the breakdown per trade.\n\n"
                                "The text is an exchange, then optionally \"-\" and a product, matched without\n"
                                "regard to case: \"NSE\" or \"BSE\" alone or with \"-INTRADAY\" is equity\n"
                                "intraday, \"NSE-DELIVERY\" equity delivery; \"NFO\", \"MCX\" and \"CDS\"\n"
                                "(\"BFO\", \"BCD\") give their futures schedule, or their options schedule\n"
                                "with \"-OPT\", \"-CE\" or \"-PE\". Any other text silently keeps the flat\n"
                                "`fees`. The schedules' fixed charges are rupees (brokerage up to 20 a\n"
                                "fill), so prices should be too. Entries are sized so that the\n"
                                "schedule's charges fit the available capital.\n\n"
                                "The analytics (`indian_cost_schedule`, `simulate_rebalance_policy`)\n"
                                "name the same eight schedules differently. Here a name from their\n"
                                "list is an unknown text: it charges the flat `fees`, without an error.\n\n"
                                "    fee_segment                      analytics segment\n"
                                "    \"NSE\", \"NSE-INTRADAY\"            \"equity_intraday\"\n"
                                "    \"NSE-DELIVERY\"                   \"equity_delivery\"\n"
                                "    \"NFO\", \"NFO-FUT\"                 \"futures_nfo\"\n"
                                "    \"NFO-OPT\", \"NFO-CE\", \"NFO-PE\"    \"options_nfo\"\n"
                                "    \"MCX\", \"MCX-FUT\"                 \"futures_mcx\"\n"
                                "    \"MCX-OPT\"                        \"options_mcx\"\n"
                                "    \"CDS\", \"CDS-FUT\"                 \"futures_cds\"\n"
                                "    \"CDS-OPT\"                        \"options_cds\""),
    read_write<&C::max_positions>("max_positions",
                                  "Maximum concurrent open positions. `None` is unlimited.\n\n"
                                  "In a portfolio run or session the count covers every instrument; an\n"
                                  "entry beyond it is refused with the reason \"max_positions\"."),
    read_write<&C::max_drawdown_pct>("max_drawdown_pct",
                                     "Drawdown percent that halts new entries. `None` disables.\n\n"
                                     "Percent of the equity peak, not a fraction: 10.0 halts at 10 % below\n"
                                     "the peak. Only a value above 0 arms it; once tripped it stays, and\n"
                                     "exits still run."),
    read_write<&C::legacy_annualization>("legacy_annualization",
                                         "Reproduce pre-0.5.0 annualization constants.\n\n"
                                         "When true every run annualises with 365 periods a year, whatever\n"
                                         "`periods_per_year` says."),
    read_write<&C::fill_prob_limit>("fill_prob_limit",
                                    "Probability a marketable resting limit order fills (1.0 = always)."),
    checked_field<&C::fill_prob_slippage, check_fill_prob_slippage_field>(
        "fill_prob_slippage",
        "Probability a stop/market fill slips one tick against the trader.\n\n"
        "The tick is the instrument's `price_increment`; without an instrument\n"
        "there is no tick and nothing slips. Draws follow `fill_seed`."),
    read_write<&C::queue_fill_model>("queue_fill_model",
                                     "Fill resting limits from observed queue position (needs depth data)."),
    read_write<&C::partial_fills>("partial_fills", "Fill typed orders across prints on the tick path (partial fills)."),
    read_write<&C::order_latency_ns>("order_latency_ns", "Order-entry latency on the tick path (ns); 0 = same-print."),
    read_write<&C::session_tz_offset_ns>("session_tz_offset_ns",
                                         "Offset for the trading date DAY orders expire on (0 = UTC).\n\n"
                                         "Nanoseconds added to the UTC timestamps to get local time\n"
                                         "(`IST_OFFSET_NS` for India); the square-off time is local time too."),
    read_only<&C::squareoff_time_minutes>("squareoff_time_minutes",
                                          "Squareoff time as minutes from local midnight; `None` disables.\n\n"
                                          "Set through the `squareoff_time` \"HH:MM\" argument, not directly.\n\n"
                                          "Local time is the UTC timestamp plus `session_tz_offset_ns`."),
    checked_field<&C::limit_slippage, check_limit_slippage_field>(
        "limit_slippage",
        "Adverse adjustment on limit fills, as a fraction of the limit price.\n\n"
        "The engine applies it to the fill price, not the limit price: a buy\n"
        "fills at the fill price x (1 + `limit_slippage`), a sell at x (1 -\n"
        "`limit_slippage`), and never beyond the limit. Within (-1, 1)."),
    read_write<&C::liquidate_on_margin_call>("liquidate_on_margin_call",
                                             "Force-close positions on a margin call instead of only halting entries."),
    read_write<&C::fill_seed>("fill_seed", "Seed for the stochastic-fill RNG."),
    read_write<&C::bar_path_adaptive>("bar_path_adaptive",
                                      "Infer intra-bar high/low order from candle geometry on stop/target\n"
                                      "conflicts; false keeps the legacy stop-first assumption."),
    getter<fill_timing_of>(
        "fill_timing",
        "The execution-timing policy, or `None` when it derives from the\ndeprecated `upon_bar_close` flag."
        "\n\n\"same_bar_close\" fills signal entries and exits at their bar's close,\n\"next_bar_open\" at the "
        "next bar's open; \"same_bar_open_lookahead\" fills\nat the signal bar's own open, which looks ahead, "
        "and only reproduces\nold results."),
    kGetSetEnd,
};

PyType_Slot kSlots[] = {
    doc_slot<kNew>(),
    new_slot<kNew>(),
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_record<C>)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {0, nullptr},
};

}  // namespace

PyTypeObject* backtest_config_type() { return record_type<C>("builtins.BacktestConfig", kSlots); }

}  // namespace tarnwick::python

// ---------------------------------------------------------------------------
// InstrumentConfig: per-instrument overrides of lot size, capital and the two rules.

namespace tarnwick::python {

using domain::InstrumentConfig;

namespace {

using I = InstrumentConfig;

I construct_instrument(std::optional<double> lot_size, std::optional<double> alloted_capital,
                        std::optional<double> existing_qty, std::optional<double> avg_price) {
    I c;
    c.lot_size = lot_size;
    c.alloted_capital = alloted_capital;
    c.existing_qty = existing_qty;
    c.avg_price = avg_price;
    return c;
}

constexpr auto kInstrumentNew = constructor<construct_instrument>(
    "InstrumentConfig.__new__",
    {{"lot_size", None}, {"alloted_capital", None}, {"existing_qty", None}, {"avg_price", None}},
    Returns{"InstrumentConfig"},
    "Python-exposed per-instrument configuration.\n\n"
    "Overrides the run's `BacktestConfig` for one instrument; None keeps\n"
    "the configuration's behaviour. A stop or target set here replaces\n"
    "the configuration's rule of that side as a whole.");

PyObject* instrument_repr(PyObject* self) {
    return read<I>(self, [](const I& v) {
        return to_py("InstrumentConfig(lot_size=" + base::fmt::optional(v.lot_size) +
                     ", alloted_capital=" + base::fmt::optional(v.alloted_capital) + ")")
            .release();
    });
}

constexpr auto kIFixedStop = method<set_fixed_stop<I>>("InstrumentConfig.set_fixed_stop", {"percent"}, kNone,
                                                       "Set fixed percentage stop-loss override." TW_FIXED_STOP_UNITS);
constexpr auto kIAtrStop = method<set_atr_stop<I>>("InstrumentConfig.set_atr_stop", {"multiplier", "period"}, kNone,
                                                   "Set ATR-based stop-loss override." TW_ATR_STOP_UNITS);
constexpr auto kITrailingStop = method<set_trailing_stop<I>>(
    "InstrumentConfig.set_trailing_stop", {"percent"}, kNone,
    "Set trailing stop-loss override." TW_TRAILING_STOP_UNITS);
constexpr auto kIFixedTarget = method<set_fixed_target<I>>(
    "InstrumentConfig.set_fixed_target", {"percent"}, kNone,
    "Set fixed percentage take-profit override." TW_FIXED_TARGET_UNITS);
constexpr auto kIAtrTarget = method<set_atr_target<I>>(
    "InstrumentConfig.set_atr_target", {"multiplier", "period"}, kNone,
    "Set ATR-based take-profit override." TW_ATR_TARGET_UNITS);
constexpr auto kIRiskRewardTarget = method<set_risk_reward_target<I>>(
    "InstrumentConfig.set_risk_reward_target", {"ratio"}, kNone,
    "Set risk-reward based take-profit override." TW_RISK_REWARD_TARGET_UNITS);

PyMethodDef kInstrumentMethods[] = {
    fast_method<kIFixedStop>(),  fast_method<kIAtrStop>(),   fast_method<kITrailingStop>(),
    fast_method<kIFixedTarget>(), fast_method<kIAtrTarget>(), fast_method<kIRiskRewardTarget>(),
    kMethodEnd,
};

PyGetSetDef kInstrumentGetSet[] = {
    read_write<&I::lot_size>("lot_size",
                             "Quantity step of entries, in units (50 for a NIFTY lot): when set\n"
                             "and above 0, every entry and add is rounded down to a multiple of\n"
                             "it, and an entry smaller than one lot is not opened."),
    read_write<&I::alloted_capital>("alloted_capital",
                                    "Capital this instrument may use, in the price currency: its entries\n"
                                    "are sized against the smaller of it and the account's free capital."),
    read_write<&I::existing_qty>("existing_qty",
                                 "Quantity already held. Carried with the record; no engine reads it.\n"
                                 "To start a session with a holding, use `PortfolioSession.adopt_position`."),
    read_write<&I::avg_price>("avg_price", "Average price of `existing_qty`; carried with it, read by no engine."),
    kGetSetEnd,
};

PyType_Slot kInstrumentSlots[] = {
    doc_slot<kInstrumentNew>(),
    new_slot<kInstrumentNew>(),
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_record<I>)},
    {Py_tp_repr, reinterpret_cast<void*>(plain_entry<instrument_repr>)},
    {Py_tp_methods, kInstrumentMethods},
    {Py_tp_getset, kInstrumentGetSet},
    {0, nullptr},
};

// ---------------------------------------------------------------------------
// StopConfig and TargetConfig: plain descriptions of a rule; nothing in the engine reads
// them, the rules reach a run through the set_* installers.

struct StopConfigRecord {
    std::string stop_type = "none";
    std::optional<double> percent;
    std::optional<double> multiplier;
    std::optional<std::uint64_t> period;
};

struct TargetConfigRecord {
    std::string target_type = "none";
    std::optional<double> percent;
    std::optional<double> multiplier;
    std::optional<std::uint64_t> period;
    std::optional<double> ratio;
};

}  // namespace

template <>
struct Bound<StopConfigRecord> {
    static constexpr const char* name = "StopConfig";
    static PyTypeObject* type();
};
template <>
struct Bound<TargetConfigRecord> {
    static constexpr const char* name = "TargetConfig";
    static PyTypeObject* type();
};

namespace {

using S = StopConfigRecord;
using T = TargetConfigRecord;

S construct_stop() { return S{}; }
T construct_target() { return T{}; }

constexpr auto kStopNew =
    constructor<construct_stop>("StopConfig.__new__", Returns{"StopConfig"}, "Python-exposed stop configuration.");
constexpr auto kTargetNew = constructor<construct_target>("TargetConfig.__new__", Returns{"TargetConfig"},
                                                          "Python-exposed target configuration.");

S stop_fixed(double percent) { return {"fixed", percent, {}, {}}; }
S stop_trailing(double percent) { return {"trailing", percent, {}, {}}; }
S stop_atr(double multiplier, std::uint64_t period) { return {"atr", {}, multiplier, period}; }
T target_fixed(double percent) { return {"fixed", percent, {}, {}, {}}; }
T target_atr(double multiplier, std::uint64_t period) { return {"atr", {}, multiplier, period, {}}; }
T target_risk_reward(double ratio) { return {"risk_reward", {}, {}, {}, ratio}; }

constexpr Returns kStop{"StopConfig"};
constexpr Returns kTarget{"TargetConfig"};

constexpr auto kStopFixed = static_method<stop_fixed>("StopConfig.fixed", {"percent"}, kStop, "");
constexpr auto kStopAtr = static_method<stop_atr>("StopConfig.atr", {"multiplier", "period"}, kStop, "");
constexpr auto kStopTrailing = static_method<stop_trailing>("StopConfig.trailing", {"percent"}, kStop, "");
constexpr auto kTargetFixed = static_method<target_fixed>("TargetConfig.fixed", {"percent"}, kTarget, "");
constexpr auto kTargetAtr = static_method<target_atr>("TargetConfig.atr", {"multiplier", "period"}, kTarget, "");
constexpr auto kTargetRiskReward =
    static_method<target_risk_reward>("TargetConfig.risk_reward", {"ratio"}, kTarget, "");

PyMethodDef kStopMethods[] = {
    fast_method<kStopFixed>(),
    fast_method<kStopAtr>(),
    fast_method<kStopTrailing>(),
    kMethodEnd,
};

PyMethodDef kTargetMethods[] = {
    fast_method<kTargetFixed>(),
    fast_method<kTargetAtr>(),
    fast_method<kTargetRiskReward>(),
    kMethodEnd,
};

PyGetSetDef kStopGetSet[] = {
    read_write<&S::stop_type>("stop_type"),
    read_write<&S::percent>("percent"),
    read_write<&S::multiplier>("multiplier"),
    read_write<&S::period>("period"),
    kGetSetEnd,
};
PyGetSetDef kTargetGetSet[] = {
    read_write<&T::target_type>("target_type"),
    read_write<&T::percent>("percent"),
    read_write<&T::multiplier>("multiplier"),
    read_write<&T::period>("period"),
    read_write<&T::ratio>("ratio"),
    kGetSetEnd,
};

PyType_Slot kStopSlots[] = {
    doc_slot<kStopNew>(),
    new_slot<kStopNew>(),
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_record<S>)},
    {Py_tp_methods, kStopMethods},
    {Py_tp_getset, kStopGetSet},
    {0, nullptr},
};
PyType_Slot kTargetSlots[] = {
    doc_slot<kTargetNew>(),
    new_slot<kTargetNew>(),
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_record<T>)},
    {Py_tp_methods, kTargetMethods},
    {Py_tp_getset, kTargetGetSet},
    {0, nullptr},
};

}  // namespace

PyTypeObject* instrument_config_type() { return record_type<I>("builtins.InstrumentConfig", kInstrumentSlots); }
PyTypeObject* Bound<StopConfigRecord>::type() { return record_type<S>("builtins.StopConfig", kStopSlots); }
PyTypeObject* Bound<TargetConfigRecord>::type() { return record_type<T>("builtins.TargetConfig", kTargetSlots); }

}  // namespace tarnwick::python

// ---------------------------------------------------------------------------
// resolve_atr_period: the ATR period a run would compute for its stops and targets.

namespace tarnwick::python {

using domain::BacktestConfig;
using domain::InstrumentConfig;
using domain::StopRule;
using domain::TargetRule;

namespace {

std::optional<std::uint64_t> resolve_atr_period(const std::optional<BacktestConfig>& config,
                                                const std::optional<InstrumentConfig>& instrument) {
    const StopRule* stop = config && config->stop ? &*config->stop : nullptr;
    const TargetRule* target = config && config->target ? &*config->target : nullptr;
    // An override replaces the configuration's rule of its side as a whole.
    if (instrument && instrument->stop) stop = &*instrument->stop;
    if (instrument && instrument->target) target = &*instrument->target;
    if (stop != nullptr && stop->kind == StopRule::Kind::Atr) return stop->period;
    if (target != nullptr && target->kind == TargetRule::Kind::Atr) return target->period;
    return std::nullopt;
}

constexpr auto kResolve = function<resolve_atr_period>(
    "resolve_atr_period", {{"config", None}, {"instrument_config", None}}, Returns{"int | None"},
    "Resolve the ATR period a backtest would use for stop/target computation.\n\n"
    "Mirrors the batch engine's resolution: per-instrument stop/target override\n"
    "the global config; the stop's period wins over the target's; `None` when\n"
    "neither is ATR-based. The Python strategy runner uses this to precompute\n"
    "the same ATR series the array path would.");

}  // namespace

Registrations input_record_rows() {
    static constexpr Registration rows[] = {
        class_row<domain::BacktestConfig>(),
        class_row<domain::InstrumentConfig>(),
        class_row<StopConfigRecord>(),
        class_row<TargetConfigRecord>(),
    };
    return rows;
}

Registrations atr_period_rows() {
    static constexpr Registration rows[] = {function_row<kResolve>()};
    return rows;
}

}  // namespace tarnwick::python
