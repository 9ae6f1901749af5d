#include "analytics/optimize_problem.h"

#include "analytics/optimize_checks.h"
#include "base/fault.h"

namespace tarnwick::analytics {

using base::check_index;
using base::fault;

namespace {

// Appends columns left to right; within a column, entries must come in increasing row order.
class ColumnWriter {
public:
    ColumnWriter(std::size_t rows, std::size_t cols, std::size_t nnz_hint) {
        m_.rows = rows;
        m_.cols = cols;
        m_.colptr.reserve(cols + 1);
        m_.colptr.push_back(0);
        m_.rowval.reserve(nnz_hint);
        m_.nzval.reserve(nnz_hint);
    }
    void add(std::size_t row, double value) {
        m_.rowval.push_back(row);
        m_.nzval.push_back(value);
    }
    void end_column() { m_.colptr.push_back(m_.rowval.size()); }
    solver::Csc finish() && {
        if (m_.colptr.size() != m_.cols + 1) fault("sparse matrix built with a wrong column count");
        return std::move(m_);
    }

private:
    solver::Csc m_;
};

}  // namespace

BookProblem build_book_problem(const RiskModel& model, std::span<const double> alpha,
                               std::span<const double> w_current, const OptimizerConfig& c) {
    const std::size_t n = model.n_assets;
    const std::size_t sectors = c.sector_caps.size();
    const bool ls = optimize_checks::long_short(c);
    const std::size_t vars = ls ? 3 * n : 2 * n;
    if (model.cov.size() != n * n || alpha.size() != n || w_current.size() != n || c.sector_ids.size() != n) {
        fault("optimiser problem built from an unvalidated book");
    }

    BookProblem p;

    ColumnWriter pw(vars, vars, n * (n + 1) / 2);
    const double scale = 2.0 * c.risk_aversion;
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j <= i; ++j) {
            const double v = scale * model.cov[j * n + i];
            if (v != 0.0) pw.add(j, v);
        }
        pw.end_column();
    }
    for (std::size_t k = n; k < vars; ++k) pw.end_column();
    p.p_upper = std::move(pw).finish();

    p.q.assign(vars, 0.0);
    for (std::size_t i = 0; i < n; ++i) {
        p.q[i] = -alpha[i];
        p.q[n + i] = c.turnover_penalty;
    }

    // Row offsets of each block.
    const std::size_t budget_up = 0;
    const std::size_t budget_down = 1;
    const std::size_t short_floor = 2;
    const std::size_t pos_cap = short_floor + n;
    const std::size_t sector_row = pos_cap + n;
    const std::size_t turn_up = sector_row + sectors;
    const std::size_t turn_down = turn_up + n;
    const std::size_t gross_up = turn_down + n;
    const std::size_t gross_down = gross_up + n;
    const std::size_t gross_budget = gross_down + n;
    const std::size_t rows = ls ? gross_budget + 1 : gross_up;

    ColumnWriter aw(rows, vars, ls ? 12 * n : 7 * n);
    for (std::size_t i = 0; i < n; ++i) {
        const auto sector = static_cast<std::size_t>(c.sector_ids[i]);
        check_index(sector, sectors);
        aw.add(budget_up, 1.0);
        aw.add(budget_down, -1.0);
        aw.add(short_floor + i, -1.0);
        aw.add(pos_cap + i, 1.0);
        // Long-only caps the sector's net weight; long/short caps its gross, through g.
        if (!ls) aw.add(sector_row + sector, 1.0);
        aw.add(turn_up + i, 1.0);
        aw.add(turn_down + i, -1.0);
        if (ls) {
            aw.add(gross_up + i, 1.0);
            aw.add(gross_down + i, -1.0);
        }
        aw.end_column();
    }
    for (std::size_t i = 0; i < n; ++i) {
        aw.add(turn_up + i, -1.0);
        aw.add(turn_down + i, -1.0);
        aw.end_column();
    }
    if (ls) {
        for (std::size_t i = 0; i < n; ++i) {
            aw.add(sector_row + static_cast<std::size_t>(c.sector_ids[i]), 1.0);
            aw.add(gross_up + i, -1.0);
            aw.add(gross_down + i, -1.0);
            aw.add(gross_budget, 1.0);
            aw.end_column();
        }
    }
    p.a = std::move(aw).finish();

    const double upper = ls ? c.net_max : 1.0;
    const double lower = ls ? c.net_min : 1.0 - c.cash_max;
    p.b.assign(rows, 0.0);
    p.b[budget_up] = upper;
    p.b[budget_down] = -lower;
    for (std::size_t i = 0; i < n; ++i) {
        p.b[short_floor + i] = c.short_cap;
        p.b[pos_cap + i] = c.position_cap;
        p.b[turn_up + i] = w_current[i];
        p.b[turn_down + i] = -w_current[i];
    }
    for (std::size_t s = 0; s < sectors; ++s) p.b[sector_row + s] = c.sector_caps[s];
    if (ls) p.b[gross_budget] = c.gross_max;
    return p;
}

}  // namespace tarnwick::analytics
