// Cross-instrument option margin. Option legs on one underlying and expiry, held in
// different instruments of one session, offset one another: a short call covered by a
// long call risks far less than the two kernels' margins added up. Each group's margin
// is recomputed from its payoff at expiry and spread over its short legs, replacing the
// per-position amounts their kernels locked.
#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "runners/session/portfolio_session.h"

namespace tarnwick::runners {

using domain::InstrumentSpec;
using domain::OptionRight;
using engine::AccountType;
using engine::Kernel;
using engine::LockedMargin;
using engine::Position;

namespace {

struct Leg {
    std::uint64_t position_id = 0;
    std::size_t kernel = 0;
    double strike = 0.0;
    double size = 0.0;
    double premium = 0.0;  // entry price per unit
    double multiplier = 1.0;
    double span_pct = 0.0;
    double exposure_pct = 0.0;
    bool short_leg = false;
    OptionRight right = OptionRight::Call;

    double notional() const noexcept { return strike * size * multiplier; }
    double quantity() const noexcept { return size * multiplier; }
};

struct Group {
    std::string underlying;
    std::optional<std::int64_t> expiry;
    std::vector<Leg> legs;
};

double intrinsic(const Leg& l, double s) noexcept {
    const double v = l.right == OptionRight::Call ? s - l.strike : l.strike - s;
    return v > 0.0 ? v : 0.0;
}

double payoff(const std::vector<Leg>& legs, double s) noexcept {
    double p = -0.0;
    for (const Leg& l : legs) {
        const double v = intrinsic(l, s) * l.size * l.multiplier;
        p += l.short_leg ? -v : v;
    }
    return p;
}

// The worst loss at expiry over the strikes, zero and a point beyond every strike.
double worst_loss(const std::vector<Leg>& legs) noexcept {
    double k_max = 0.0;
    for (const Leg& l : legs) {
        if (l.strike > k_max) k_max = l.strike;
    }
    double lowest = 0.0;
    auto visit = [&](double s) {
        const double p = payoff(legs, s);
        if (p < lowest) lowest = p;
    };
    for (const Leg& l : legs) visit(l.strike);
    visit(0.0);
    visit(2.0 * k_max + 1.0);
    const double loss = -lowest;
    return loss > 0.0 ? loss : 0.0;
}

// Shorts the longs of the same right do not cover, in units x multiplier.
bool uncovered(const std::vector<Leg>& legs) noexcept {
    double short_calls = -0.0, long_calls = -0.0, short_puts = -0.0, long_puts = -0.0;
    for (const Leg& l : legs) {
        double& bucket = l.right == OptionRight::Call ? (l.short_leg ? short_calls : long_calls)
                                                      : (l.short_leg ? short_puts : long_puts);
        bucket += l.quantity();
    }
    return short_calls > long_calls || long_puts < short_puts;
}

double group_amount(const std::vector<Leg>& legs) noexcept {
    const double loss = worst_loss(legs);
    const bool covered = !uncovered(legs);
    double base = loss;
    if (!covered) {
        double span = 0.0;
        double largest = 0.0;
        for (const Leg& l : legs) {
            if (!l.short_leg) continue;
            if (l.span_pct > span) span = l.span_pct;
            if (l.notional() > largest) largest = l.notional();
        }
        base = span * largest;
    }
    double exposure = -0.0;
    for (const Leg& l : legs) {
        if (l.short_leg) exposure += l.notional() * l.exposure_pct;
    }
    // Premium received on shorts less premium paid on longs; a lone leg keeps its own.
    double net_premium = 0.0;
    if (legs.size() >= 2) {
        net_premium = -0.0;
        for (const Leg& l : legs) {
            const double v = l.premium * l.size * l.multiplier;
            net_premium += l.short_leg ? v : -v;
        }
    }
    const double raw = base + exposure - net_premium;
    double g = raw > 0.0 ? raw : 0.0;
    if (covered) {
        const double floor = loss - net_premium;
        if (floor > g) g = floor;
    }
    return g;
}

}  // namespace

void PortfolioSession::allocate_group_margin() {
    if (account_.type != AccountType::Margin) return;
    std::vector<Group> groups;
    for (std::size_t ki = 0; ki < kernels_.size(); ++ki) {
        const Kernel& k = kernels_[ki];
        const std::optional<InstrumentSpec>& spec = k.config().instrument;
        if (!spec || !spec->is_option() || !(spec->span_pct + spec->exposure_pct > 0.0) || !k.in_position()) continue;
        std::string underlying = spec->kind.underlying.value_or(spec->symbol);
        auto it = std::find_if(groups.begin(), groups.end(), [&](const Group& g) {
            return g.underlying == underlying && g.expiry == spec->expiration_ns;
        });
        if (it == groups.end()) {
            groups.push_back(Group{std::move(underlying), spec->expiration_ns, {}});
            it = groups.end() - 1;
        }
        for (const Position& p : k.ledger().positions()) {
            it->legs.push_back(Leg{p.position_id, ki, spec->kind.strike, p.size, p.entry_price,
                                   spec->effective_multiplier(), spec->span_pct, spec->exposure_pct, p.direction < 0,
                                   spec->kind.right});
        }
    }

    double change = -0.0;
    for (const Group& g : groups) {
        std::size_t shorts = 0;
        double total_weight = -0.0;
        for (const Leg& l : g.legs) {
            if (!l.short_leg) continue;
            ++shorts;
            total_weight += l.notional() * (l.span_pct + l.exposure_pct);
        }
        if (shorts == 0) continue;
        const double amount = group_amount(g.legs);
        for (const Leg& l : g.legs) {
            if (!l.short_leg) continue;
            const double share = total_weight > 0.0
                                     ? l.notional() * (l.span_pct + l.exposure_pct) * amount / total_weight
                                     : amount / static_cast<double>(shorts);
            Kernel& k = kernels_[l.kernel];
            for (const LockedMargin& entry : k.locked_margin()) {
                if (entry.position_id != l.position_id) continue;
                change += share - entry.amount;
                k.set_locked_margin(l.position_id, share);
                break;
            }
        }
    }
    pool_locked_margin_ += change;
}

}  // namespace tarnwick::runners
