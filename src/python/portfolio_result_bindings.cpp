// PortfolioResult and InstrumentSummary: what a shared-capital run hands back. Both are
// read-only and made only by the engine; every read returns a new object built from a
// copy, so nothing done to it reaches the record.
#include <cstddef>
#include <utility>

#include "base/format.h"
#include "engine/backtest_result.h"
#include "python/bound_records.h"
#include "python/classes.h"
#include "python/fields.h"
#include "python/registration.h"
#include "runners/portfolio_result.h"

namespace tarnwick::python {

using engine::ReportedMetrics;
using runners::InstrumentSummary;
using runners::PortfolioResult;

template <>
struct Bound<InstrumentSummary> {
    static constexpr const char* name = "InstrumentSummary";
    static PyTypeObject* type();
};
template <>
struct Bound<PortfolioResult> {
    static constexpr const char* name = "PortfolioResult";
    static PyTypeObject* type();
};

namespace {

// ---------------------------------------------------------------------------------------
// InstrumentSummary

using S = InstrumentSummary;

PyObject* summary_repr(PyObject* self) {
    return read<S>(self, [](const S& s) {
        return to_py(base::fmt::format("InstrumentSummary(symbol='{}', trades={}, pnl={}, rejected_entries={})",
                                       s.symbol, s.trades, base::fmt::fixed(s.pnl, 2), s.rejected_entries))
            .release();
    });
}

PyGetSetDef kSummaryGetSet[] = {
    read_only<&S::symbol>("symbol"),
    read_only<&S::trades>("trades"),
    read_only<&S::pnl>("pnl"),
    read_only<&S::rejected_entries>("rejected_entries"),
    kGetSetEnd,
};

PyType_Slot kSummarySlots[] = {
    {Py_tp_doc, const_cast<char*>("Per-instrument attribution from a portfolio backtest.")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_record<S>)},
    {Py_tp_getset, kSummaryGetSet},
    {Py_tp_repr, reinterpret_cast<void*>(plain_entry<summary_repr>)},
    {0, nullptr},
};

// ---------------------------------------------------------------------------------------
// PortfolioResult

using P = PortfolioResult;

// Each is copied once, straight into its new object.
Ref result_of(const P& p) { return new_backtest_result(p.result); }
Ref per_instrument_of(const P& p) { return record_list(p.per_instrument); }
Ref metrics_of(const P& p) { return wrap<ReportedMetrics>(p.result.metrics); }

PyObject* portfolio_repr(PyObject* self) {
    return read<P>(self, [](const P& p) {
        return to_py(base::fmt::format("PortfolioResult(instruments={}, rejected_entries={}, halted={})",
                                       p.per_instrument.size(), p.rejected_entries, base::fmt::boolean(p.halted)))
            .release();
    });
}

PyGetSetDef kPortfolioGetSet[] = {
    getter<result_of>("result", Returns{"BacktestResult"}),
    getter<per_instrument_of>("per_instrument", Returns{"list[InstrumentSummary]"}),
    read_only<&P::rejected_entries>("rejected_entries"),
    read_only<&P::halted>("halted"),
    read_only<&P::halted_at>("halted_at"),
    getter<metrics_of>("metrics", Returns{"BacktestMetrics"}, "Portfolio metrics, computed on the constrained run."),
    kGetSetEnd,
};

PyType_Slot kPortfolioSlots[] = {
    {Py_tp_doc, const_cast<char*>("Result of a shared-capital portfolio backtest.")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_record<P>)},
    {Py_tp_getset, kPortfolioGetSet},
    {Py_tp_repr, reinterpret_cast<void*>(plain_entry<portfolio_repr>)},
    {0, nullptr},
};

}  // namespace

PyTypeObject* Bound<PortfolioResult>::type() { return record_type<P>("builtins.PortfolioResult", kPortfolioSlots); }
PyTypeObject* Bound<InstrumentSummary>::type() { return record_type<S>("builtins.InstrumentSummary", kSummarySlots); }

Ref new_portfolio_result(PortfolioResult result) { return wrap(std::move(result)); }

Registrations portfolio_result_rows() {
    static constexpr Registration rows[] = {class_row<PortfolioResult>(), class_row<InstrumentSummary>()};
    return rows;
}

}  // namespace tarnwick::python
