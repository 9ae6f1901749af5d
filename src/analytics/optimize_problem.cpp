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

// Where each block of constraint rows begins, and how many rows there are.
struct RowLayout {
    std::size_t budget_up = 0;
    std::size_t budget_down = 1;
    std::size_t short_floor = 2;
    std::size_t pos_cap, sector_row, turn_up, turn_down, gross_up, gross_down, gross_budget, rows;

    RowLayout(std::size_t n, std::size_t sectors, bool ls)
        : pos_cap(short_floor + n),
          sector_row(pos_cap + n),
          turn_up(sector_row + sectors),
          turn_down(turn_up + n),
          gross_up(turn_down + n),
          gross_down(gross_up + n),
          gross_budget(gross_down + n),
          rows(ls ? gross_budget + 1 : gross_up) {}
};

// 2 lambda cov on the w block, upper triangle by columns, exact zeros left out; nothing
// on the slacks.
solver::Csc risk_matrix(const RiskModel& model, double risk_aversion, std::size_t vars) {
    const std::size_t n = model.n_assets;
    ColumnWriter pw(vars, vars, n * (n + 1) / 2);
    const double scale = 2.0 * risk_aversion;
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j <= i; ++j) {
            const double v = scale * model.cov[j * n + i];
            if (v != 0.0) pw.add(j, v);
        }
        pw.end_column();
    }
    for (std::size_t k = n; k < vars; ++k) pw.end_column();
    return std::move(pw).finish();
}

// The constraint matrix, column by column (`vars` of them): the weights, the turnover
// slacks, and long/short the gross slacks.
solver::Csc constraint_matrix(const OptimizerConfig& c, std::size_t n, std::size_t vars, bool ls, const RowLayout& r) {
    const std::size_t sectors = c.sector_caps.size();
    ColumnWriter aw(r.rows, vars, ls ? 12 * n : 7 * n);
    for (std::size_t i = 0; i < n; ++i) {
        const auto sector = static_cast<std::size_t>(c.sector_ids[i]);
        check_index(sector, sectors);
        aw.add(r.budget_up, 1.0);
        aw.add(r.budget_down, -1.0);
        aw.add(r.short_floor + i, -1.0);
        aw.add(r.pos_cap + i, 1.0);
        // Long-only caps the sector's net weight; long/short caps its gross, through g.
        if (!ls) aw.add(r.sector_row + sector, 1.0);
        aw.add(r.turn_up + i, 1.0);
        aw.add(r.turn_down + i, -1.0);
        if (ls) {
            aw.add(r.gross_up + i, 1.0);
            aw.add(r.gross_down + i, -1.0);
        }
        aw.end_column();
    }
    for (std::size_t i = 0; i < n; ++i) {
        aw.add(r.turn_up + i, -1.0);
        aw.add(r.turn_down + i, -1.0);
        aw.end_column();
    }
    if (ls) {
        for (std::size_t i = 0; i < n; ++i) {
            aw.add(r.sector_row + static_cast<std::size_t>(c.sector_ids[i]), 1.0);
            aw.add(r.gross_up + i, -1.0);
            aw.add(r.gross_down + i, -1.0);
            aw.add(r.gross_budget, 1.0);
            aw.end_column();
        }
    }
    return std::move(aw).finish();
}

// The right-hand sides, row block by row block.
std::vector<double> constraint_bounds(const OptimizerConfig& c, std::span<const double> w_current, bool ls,
                                      const RowLayout& r) {
    const std::size_t n = w_current.size();
    std::vector<double> b(r.rows, 0.0);
    b[r.budget_up] = ls ? c.net_max : 1.0;
    b[r.budget_down] = -(ls ? c.net_min : 1.0 - c.cash_max);
    for (std::size_t i = 0; i < n; ++i) {
        b[r.short_floor + i] = c.short_cap;
        b[r.pos_cap + i] = c.position_cap;
        b[r.turn_up + i] = w_current[i];
        b[r.turn_down + i] = -w_current[i];
    }
    for (std::size_t s = 0; s < c.sector_caps.size(); ++s) b[r.sector_row + s] = c.sector_caps[s];
    if (ls) b[r.gross_budget] = c.gross_max;
    return b;
}

}  // namespace

BookProblem build_book_problem(const RiskModel& model, std::span<const double> alpha,
                               std::span<const double> w_current, const OptimizerConfig& c) {
    const std::size_t n = model.n_assets;
    const bool ls = optimize_checks::long_short(c);
    const std::size_t vars = ls ? 3 * n : 2 * n;
    if (model.cov.size() != n * n || alpha.size() != n || w_current.size() != n || c.sector_ids.size() != n) {
        fault("optimiser problem built from an unvalidated book");
    }

    BookProblem p;
    p.p_upper = risk_matrix(model, c.risk_aversion, vars);
    p.q.assign(vars, 0.0);
    for (std::size_t i = 0; i < n; ++i) {
        p.q[i] = -alpha[i];
        p.q[n + i] = c.turnover_penalty;
    }
    const RowLayout rows(n, c.sector_caps.size(), ls);
    p.a = constraint_matrix(c, n, vars, ls, rows);
    p.b = constraint_bounds(c, w_current, ls, rows);
    return p;
}

}  // namespace tarnwick::analytics
