// The input records: BacktestConfig, InstrumentConfig, StopConfig and TargetConfig.
#include "base/format.h"
#include "domain/backtest_config.h"
#include "domain/instrument_config.h"

#include <cstddef>

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

constexpr auto kNew = constructor(
    "BacktestConfig.__new__", {{"initial_capital", "100000.0"}, {"fees", "0.001"}, {"slippage", "0.0"},
                               {"upon_bar_close", "True"}, {"apply_slippage", "True"}, {"periods_per_year", "None"},
                               {"risk_free_rate", "0.0"}, {"session_minutes", "None"}, {"fee_segment", "None"},
                               {"max_positions", "None"}, {"max_drawdown_pct", "None"},
                               {"legacy_annualization", "False"}, {"fill_prob_limit", "1.0"},
                               {"fill_prob_slippage", "0.0"}, {"fill_seed", "0"}, {"bar_path_adaptive", "False"},
                               {"queue_fill_model", "False"}, {"partial_fills", "False"}, {"order_latency_ns", "0"},
                               {"session_tz_offset_ns", "0"}, {"limit_slippage", "0.0"},
                               {"liquidate_on_margin_call", "False"}, {"squareoff_time", "None"},
                               {"fill_timing", "None"}},
    "Python-exposed backtest configuration.\n\n"
    "Money is in the price currency. `fees`, `slippage`, `limit_slippage`\n"
    "and `risk_free_rate` are fractions (0.001 is 0.1 %); names ending in\n"
    "`_pct` hold percent; times and offsets are nanoseconds. Every run and\n"
    "session copies the record, so later changes reach none already built.");

PyObject* construct(PyTypeObject*, const Args& a) {
    C c;
    c.initial_capital = a.get_or<double>(0, c.initial_capital);
    c.fees = a.get_or<double>(1, c.fees);
    c.slippage = a.get_or<double>(2, c.slippage);
    c.upon_bar_close = a.get_or<bool>(3, c.upon_bar_close);
    c.apply_slippage = a.get_or<bool>(4, c.apply_slippage);
    c.periods_per_year = a.opt<double>(5);
    c.risk_free_rate = a.get_or<double>(6, c.risk_free_rate);
    c.session_minutes = a.opt<double>(7);
    c.fee_segment = a.opt<std::string>(8);
    c.max_positions = a.opt<std::uint64_t>(9);
    c.max_drawdown_pct = a.opt<double>(10);
    c.legacy_annualization = a.get_or<bool>(11, c.legacy_annualization);
    c.fill_prob_limit = a.get_or<double>(12, c.fill_prob_limit);
    c.fill_prob_slippage = a.get_or<double>(13, c.fill_prob_slippage);
    c.fill_seed = a.get_or<std::uint64_t>(14, c.fill_seed);
    c.bar_path_adaptive = a.get_or<bool>(15, c.bar_path_adaptive);
    c.queue_fill_model = a.get_or<bool>(16, c.queue_fill_model);
    c.partial_fills = a.get_or<bool>(17, c.partial_fills);
    c.order_latency_ns = a.get_or<std::int64_t>(18, c.order_latency_ns);
    c.session_tz_offset_ns = a.get_or<std::int64_t>(19, c.session_tz_offset_ns);
    c.limit_slippage = a.get_or<double>(20, c.limit_slippage);
    c.liquidate_on_margin_call = a.get_or<bool>(21, c.liquidate_on_margin_call);
    const auto squareoff = a.opt<std::string>(22);
    const auto fill_timing = a.opt<std::string>(23);
    if (squareoff) c.squareoff_time_minutes = unwrap(parse_squareoff_time(*squareoff));
    if (fill_timing) c.fill_timing = unwrap(parse_fill_timing(*fill_timing));
    unwrap(check_money_fields(c));
    return wrap(std::move(c)).release();
}

// The money fields' setters check the value before storing it.
Status<OwnError> check_initial_capital_field(double v) { return check_positive("initial_capital", v); }
Status<OwnError> check_fees_field(double v) { return check_fees(v); }
Status<OwnError> check_slippage_field(double v) { return check_slippage_fraction("slippage", v); }
Status<OwnError> check_limit_slippage_field(double v) { return check_slippage_fraction("limit_slippage", v); }
Status<OwnError> check_fill_prob_slippage_field(double v) { return check_probability("fill_prob_slippage", v); }

PyObject* get_fill_timing(PyObject* self, void*) {
    return read<C>(self, [](const C& v) {
        if (!v.fill_timing) return Py_NewRef(Py_None);
        return to_py(name(*v.fill_timing)).release();
    });
}

constexpr auto kFixedStop = method("BacktestConfig.set_fixed_stop", {"percent"},
                                   "Set fixed percentage stop-loss." TW_FIXED_STOP_UNITS);
constexpr auto kAtrStop = method("BacktestConfig.set_atr_stop", {"multiplier", "period"},
                                 "Set ATR-based stop-loss." TW_ATR_STOP_UNITS);
constexpr auto kTrailingStop = method("BacktestConfig.set_trailing_stop", {"percent"},
                                      "Set trailing stop-loss." TW_TRAILING_STOP_UNITS);
constexpr auto kFixedTarget = method("BacktestConfig.set_fixed_target", {"percent"},
                                     "Set fixed percentage take-profit." TW_FIXED_TARGET_UNITS);
constexpr auto kAtrTarget = method("BacktestConfig.set_atr_target", {"multiplier", "period"},
                                   "Set ATR-based take-profit." TW_ATR_TARGET_UNITS);
constexpr auto kRiskRewardTarget = method("BacktestConfig.set_risk_reward_target", {"ratio"},
                                          "Set risk-reward based take-profit." TW_RISK_REWARD_TARGET_UNITS);

PyMethodDef kMethods[] = {
    fast_method<kFixedStop, rule_setter<C, store_fixed_stop<C>>>(),
    fast_method<kAtrStop, rule_setter<C, store_atr_stop<C>>>(),
    fast_method<kTrailingStop, rule_setter<C, store_trailing_stop<C>>>(),
    fast_method<kFixedTarget, rule_setter<C, store_fixed_target<C>>>(),
    fast_method<kAtrTarget, rule_setter<C, store_atr_target<C>>>(),
    fast_method<kRiskRewardTarget, rule_setter<C, store_risk_reward_target<C>>>(),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    checked_field<&C::initial_capital, check_initial_capital_field>(
        "initial_capital", "Starting cash of the account, in the price currency; finite and above 0."),
    checked_field<&C::fees, check_fees_field>(
        "fees",
        "Flat fee of every fill, entries and exits alike, as a fraction of its\n"
        "traded value: 0.001 is 0.1 %. Charged unless `fee_segment` names a\n"
        "schedule; finite and above -1 (a negative fee is a rebate)."),
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
    {"fill_timing", get_fill_timing, nullptr,
     "The execution-timing policy, or `None` when it derives from the\ndeprecated `upon_bar_close` flag."
     "\n\n\"same_bar_close\" fills signal entries and exits at their bar's close,\n\"next_bar_open\" at the "
     "next bar's open; \"same_bar_open_lookahead\" fills\nat the signal bar's own open, which looks ahead, "
     "and only reproduces\nold results.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, class_doc<kNew>()},
    {Py_tp_new, reinterpret_cast<void*>(new_entry<kNew, construct>)},
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

constexpr auto kInstrumentNew = constructor(
    "InstrumentConfig.__new__", {{"lot_size", "None"}, {"alloted_capital", "None"}, {"existing_qty", "None"},
                                 {"avg_price", "None"}},
    "Python-exposed per-instrument configuration.\n\n"
    "Overrides the run's `BacktestConfig` for one instrument; None keeps\n"
    "the configuration's behaviour. A stop or target set here replaces\n"
    "the configuration's rule of that side as a whole.");

PyObject* construct_instrument(PyTypeObject*, const Args& a) {
    I c;
    c.lot_size = a.opt<double>(0);
    c.alloted_capital = a.opt<double>(1);
    c.existing_qty = a.opt<double>(2);
    c.avg_price = a.opt<double>(3);
    return wrap(std::move(c)).release();
}

PyObject* instrument_repr(PyObject* self) {
    return read<I>(self, [](const I& v) {
        return to_py("InstrumentConfig(lot_size=" + base::fmt::optional(v.lot_size) +
                     ", alloted_capital=" + base::fmt::optional(v.alloted_capital) + ")")
            .release();
    });
}

constexpr auto kIFixedStop = method("InstrumentConfig.set_fixed_stop", {"percent"},
                                    "Set fixed percentage stop-loss override." TW_FIXED_STOP_UNITS);
constexpr auto kIAtrStop = method("InstrumentConfig.set_atr_stop", {"multiplier", "period"},
                                  "Set ATR-based stop-loss override." TW_ATR_STOP_UNITS);
constexpr auto kITrailingStop = method("InstrumentConfig.set_trailing_stop", {"percent"},
                                       "Set trailing stop-loss override." TW_TRAILING_STOP_UNITS);
constexpr auto kIFixedTarget = method("InstrumentConfig.set_fixed_target", {"percent"},
                                      "Set fixed percentage take-profit override." TW_FIXED_TARGET_UNITS);
constexpr auto kIAtrTarget = method("InstrumentConfig.set_atr_target", {"multiplier", "period"},
                                    "Set ATR-based take-profit override." TW_ATR_TARGET_UNITS);
constexpr auto kIRiskRewardTarget = method("InstrumentConfig.set_risk_reward_target", {"ratio"},
                                           "Set risk-reward based take-profit override." TW_RISK_REWARD_TARGET_UNITS);

PyMethodDef kInstrumentMethods[] = {
    fast_method<kIFixedStop, rule_setter<I, store_fixed_stop<I>>>(),
    fast_method<kIAtrStop, rule_setter<I, store_atr_stop<I>>>(),
    fast_method<kITrailingStop, rule_setter<I, store_trailing_stop<I>>>(),
    fast_method<kIFixedTarget, rule_setter<I, store_fixed_target<I>>>(),
    fast_method<kIAtrTarget, rule_setter<I, store_atr_target<I>>>(),
    fast_method<kIRiskRewardTarget, rule_setter<I, store_risk_reward_target<I>>>(),
    {nullptr, nullptr, 0, nullptr},
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
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kInstrumentSlots[] = {
    {Py_tp_doc, class_doc<kInstrumentNew>()},
    {Py_tp_new, reinterpret_cast<void*>(new_entry<kInstrumentNew, construct_instrument>)},
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

constexpr auto kStopNew = constructor("StopConfig.__new__", "Python-exposed stop configuration.");
constexpr auto kTargetNew = constructor("TargetConfig.__new__", "Python-exposed target configuration.");
PyObject* construct_stop(PyTypeObject*, const Args&) { return wrap(S{}).release(); }
PyObject* construct_target(PyTypeObject*, const Args&) { return wrap(T{}).release(); }

constexpr auto kStopFixed = static_method("StopConfig.fixed", {"percent"}, "");
constexpr auto kStopAtr = static_method("StopConfig.atr", {"multiplier", "period"}, "");
constexpr auto kStopTrailing = static_method("StopConfig.trailing", {"percent"}, "");
constexpr auto kTargetFixed = static_method("TargetConfig.fixed", {"percent"}, "");
constexpr auto kTargetAtr = static_method("TargetConfig.atr", {"multiplier", "period"}, "");
constexpr auto kTargetRiskReward = static_method("TargetConfig.risk_reward", {"ratio"}, "");

PyObject* stop_fixed(PyObject*, const Args& a) { return wrap(S{"fixed", a.get<double>(0), {}, {}}).release(); }
PyObject* stop_trailing(PyObject*, const Args& a) {
    return wrap(S{"trailing", a.get<double>(0), {}, {}}).release();
}
PyObject* stop_atr(PyObject*, const Args& a) {
    const double m = a.get<double>(0);
    return wrap(S{"atr", {}, m, a.get<std::uint64_t>(1)}).release();
}
PyObject* target_fixed(PyObject*, const Args& a) {
    return wrap(T{"fixed", a.get<double>(0), {}, {}, {}}).release();
}
PyObject* target_atr(PyObject*, const Args& a) {
    const double m = a.get<double>(0);
    return wrap(T{"atr", {}, m, a.get<std::uint64_t>(1), {}}).release();
}
PyObject* target_risk_reward(PyObject*, const Args& a) {
    return wrap(T{"risk_reward", {}, {}, {}, a.get<double>(0)}).release();
}

PyMethodDef kStopMethods[] = {
    fast_method<kStopFixed, stop_fixed>(),
    fast_method<kStopAtr, stop_atr>(),
    fast_method<kStopTrailing, stop_trailing>(),
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef kTargetMethods[] = {
    fast_method<kTargetFixed, target_fixed>(),
    fast_method<kTargetAtr, target_atr>(),
    fast_method<kTargetRiskReward, target_risk_reward>(),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kStopGetSet[] = {
    read_write<&S::stop_type>("stop_type"),
    read_write<&S::percent>("percent"),
    read_write<&S::multiplier>("multiplier"),
    read_write<&S::period>("period"),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
PyGetSetDef kTargetGetSet[] = {
    read_write<&T::target_type>("target_type"),
    read_write<&T::percent>("percent"),
    read_write<&T::multiplier>("multiplier"),
    read_write<&T::period>("period"),
    read_write<&T::ratio>("ratio"),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kStopSlots[] = {
    {Py_tp_doc, class_doc<kStopNew>()},
    {Py_tp_new, reinterpret_cast<void*>(new_entry<kStopNew, construct_stop>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_record<S>)},
    {Py_tp_methods, kStopMethods},
    {Py_tp_getset, kStopGetSet},
    {0, nullptr},
};
PyType_Slot kTargetSlots[] = {
    {Py_tp_doc, class_doc<kTargetNew>()},
    {Py_tp_new, reinterpret_cast<void*>(new_entry<kTargetNew, construct_target>)},
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

constexpr auto kResolve = function("resolve_atr_period", {{"config", "None"}, {"instrument_config", "None"}},
                                   "Resolve the ATR period a backtest would use for stop/target computation.\n\n"
                                   "Mirrors the batch engine's resolution: per-instrument stop/target override\n"
                                   "the global config; the stop's period wins over the target's; `None` when\n"
                                   "neither is ATR-based. The Python strategy runner uses this to precompute\n"
                                   "the same ATR series the array path would.");

PyObject* resolve_atr_period(PyObject*, const Args& a) {
    const auto config = a.opt<BacktestConfig>(0);
    const auto instrument = a.opt<InstrumentConfig>(1);
    // An override replaces the configuration's rule of its side as a whole. The rules are
    // pointed at rather than copied into fresh optionals, whose copies GCC's optimiser
    // takes for maybe-uninitialized reads.
    const StopRule* stop = instrument && instrument->stop ? &*instrument->stop
                           : config && config->stop       ? &*config->stop
                                                          : nullptr;
    const TargetRule* target = instrument && instrument->target ? &*instrument->target
                               : config && config->target       ? &*config->target
                                                                : nullptr;
    if (stop && stop->kind == StopRule::Kind::Atr) return to_py(stop->period).release();
    if (target && target->kind == TargetRule::Kind::Atr) return to_py(target->period).release();
    return Py_NewRef(Py_None);
}

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
    static constexpr Registration rows[] = {function_row<kResolve, resolve_atr_period>()};
    return rows;
}

}  // namespace tarnwick::python
