// The indicators' vector kernels give the bits of a plain loop over the documented
// recursions, on random series with gaps, at the instruction set this process runs; and
// this folder's tests pass again in a child process at every narrower set the processor
// runs, so that a wide machine tests the narrow entry points too.
#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "base/simd.h"
#include "indicators/momentum.h"
#include "indicators/trend.h"
#include "indicators/volatility.h"
#include "narrower_sets.h"
#include "test_indicators_util.h"

namespace tarnwick {
namespace {

namespace simd = base::simd;
using ind_test::expect_bits;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// ---------------------------------------------------------------------------------------
// Plain loops, one value after the other, written from the indicators' definitions.

// Larger of two values, a NaN one counting as missing.
double larger_present(double a, double b) {
    if (std::isnan(a)) return b;
    if (std::isnan(b)) return a;
    return b > a ? b : a;
}

double true_range(const std::vector<double>& h, const std::vector<double>& l, const std::vector<double>& c,
                  std::size_t i) {
    if (i == 0) return h[0] - l[0];
    return larger_present(larger_present(h[i] - l[i], std::fabs(h[i] - c[i - 1])), std::fabs(l[i] - c[i - 1]));
}

// Seeded with the mean of the first p values (summed from -0), then prev (1 - a) + x a.
std::vector<double> ema_loop(const std::vector<double>& x, std::size_t p, double alpha) {
    std::vector<double> out(x.size(), kNaN);
    if (p > x.size()) return out;
    double v = -0.0;
    for (std::size_t i = 0; i < p; ++i) v += x[i];
    v /= static_cast<double>(p);
    out[p - 1] = v;
    for (std::size_t i = p; i < x.size(); ++i) out[i] = v = v * (1.0 - alpha) + x[i] * alpha;
    return out;
}

double rsi_of(double gain, double loss) { return loss == 0.0 ? 100.0 : 100.0 - 100.0 / (1.0 + gain / loss); }

std::vector<double> rsi_loop(const std::vector<double>& x, std::size_t p) {
    std::vector<double> out(x.size(), kNaN);
    if (p >= x.size()) return out;
    auto gain = [&](std::size_t i) { return x[i] - x[i - 1] > 0.0 ? x[i] - x[i - 1] : 0.0; };
    auto loss = [&](std::size_t i) { return x[i] - x[i - 1] > 0.0 ? 0.0 : -(x[i] - x[i - 1]); };
    double g = -0.0, l = -0.0;
    for (std::size_t i = 1; i <= p; ++i) {
        g += gain(i);
        l += loss(i);
    }
    const double pf = static_cast<double>(p);
    g /= pf;
    l /= pf;
    out[p] = rsi_of(g, l);
    const double k = 1.0 / pf;
    for (std::size_t i = p + 1; i < x.size(); ++i) {
        g = g * (1.0 - k) + gain(i) * k;
        l = l * (1.0 - k) + loss(i) * k;
        out[i] = rsi_of(g, l);
    }
    return out;
}

struct Macd {
    std::vector<double> line, signal, histogram;
};

// The line from the slow average's first value; the signal seeded with the plain mean of
// the first `sig` line values (summed from +0, missing unless all are present), and
// missing from the first missing line value after it on.
Macd macd_loop(const std::vector<double>& x, std::size_t fast, std::size_t slow, std::size_t sig) {
    const std::size_t n = x.size();
    Macd m{std::vector<double>(n, kNaN), std::vector<double>(n, kNaN), std::vector<double>(n, kNaN)};
    if (slow > n) return m;
    const std::vector<double> f = ema_loop(x, fast, 2.0 / (static_cast<double>(fast) + 1.0));
    const std::vector<double> s = ema_loop(x, slow, 2.0 / (static_cast<double>(slow) + 1.0));
    for (std::size_t i = slow - 1; i < n; ++i) m.line[i] = std::isnan(f[i]) || std::isnan(s[i]) ? kNaN : f[i] - s[i];
    const std::size_t s0 = slow + sig - 2;
    if (s0 >= n) return m;
    double sum = 0.0;
    std::size_t present = 0;
    for (std::size_t i = slow - 1; i <= s0; ++i) {
        if (std::isnan(m.line[i])) continue;
        sum += m.line[i];
        ++present;
    }
    const double alpha = 2.0 / (static_cast<double>(sig) + 1.0);
    double sg = present == sig ? sum / static_cast<double>(sig) : kNaN;
    bool gone = false;
    for (std::size_t i = s0; i < n; ++i) {
        if (i > s0) {
            sg = sg * (1.0 - alpha) + m.line[i] * alpha;
            gone = gone || std::isnan(m.line[i]);
        }
        m.signal[i] = gone ? kNaN : sg;
        m.histogram[i] = std::isnan(m.line[i]) || std::isnan(m.signal[i]) ? kNaN : m.line[i] - m.signal[i];
    }
    return m;
}

std::vector<double> atr_loop(const std::vector<double>& h, const std::vector<double>& l, const std::vector<double>& c,
                             std::size_t p) {
    std::vector<double> out(c.size(), kNaN);
    if (p >= c.size()) return out;
    double a = -0.0;
    for (std::size_t i = 0; i < p; ++i) a += true_range(h, l, c, i);
    const double pf = static_cast<double>(p);
    out[p - 1] = a /= pf;
    const double k = 1.0 / pf;
    for (std::size_t i = p; i < c.size(); ++i) out[i] = a = a * (1.0 - k) + true_range(h, l, c, i) * k;
    return out;
}

struct Bands {
    std::vector<double> upper, middle, lower;
};

// The running-sum moving average, and each window's population deviation about it summed
// afresh from -0 in index order; a missing average gives missing bands.
Bands bollinger_loop(const std::vector<double>& x, std::size_t p, double k) {
    const std::size_t n = x.size();
    Bands b{std::vector<double>(n, kNaN), std::vector<double>(n, kNaN), std::vector<double>(n, kNaN)};
    if (p > n) return b;
    const double pf = static_cast<double>(p);
    double sum = -0.0;
    for (std::size_t i = 0; i < p; ++i) sum += x[i];
    for (std::size_t i = p - 1; i < n; ++i) {
        if (i >= p) sum = (sum - x[i - p]) + x[i];
        const double mid = sum / pf;
        b.middle[i] = mid;
        if (std::isnan(mid)) continue;
        double ss = -0.0;
        for (std::size_t t = i + 1 - p; t <= i; ++t) ss += (x[t] - mid) * (x[t] - mid);
        const double width = std::sqrt(ss / pf) * k;
        b.upper[i] = mid + width;
        b.lower[i] = mid - width;
    }
    return b;
}

struct Trend {
    std::vector<double> value;
    std::vector<std::int8_t> direction;
};

// Bands hl2 -/+ multiplier x ATR that only tighten while the previous close stays on their
// side; the trend rides the lower band until a close falls below it, the upper band until
// a close rises above it.
Trend supertrend_loop(const std::vector<double>& h, const std::vector<double>& l, const std::vector<double>& c,
                      std::size_t p, double mult) {
    const std::size_t n = c.size();
    Trend t{std::vector<double>(n, kNaN), std::vector<std::int8_t>(n, 0)};
    if (p >= n) return t;
    double a = -0.0;
    for (std::size_t i = 0; i < p; ++i) a += true_range(h, l, c, i);
    const double pf = static_cast<double>(p);
    a /= pf;
    auto basic = [&](std::size_t i, double sign) {
        return std::isnan(a) ? kNaN : (h[i] + l[i]) * 0.5 + sign * (a * mult);
    };
    double upper = basic(p - 1, 1.0), lower = basic(p - 1, -1.0);
    bool rising = !(upper >= c[p - 1]);
    t.direction[p - 1] = rising ? 1 : -1;
    t.value[p - 1] = rising ? lower : upper;
    const double k = 1.0 / pf;
    for (std::size_t i = p; i < n; ++i) {
        a = a * (1.0 - k) + true_range(h, l, c, i) * k;
        const double bu = basic(i, 1.0), bl = basic(i, -1.0);
        if (!(c[i - 1] <= upper && upper <= bu)) upper = bu;
        if (!(lower <= c[i - 1] && bl <= lower)) lower = bl;
        rising = rising ? !(c[i] < lower) : upper < c[i];
        t.direction[i] = rising ? 1 : -1;
        t.value[i] = rising ? lower : upper;
    }
    return t;
}

// ---------------------------------------------------------------------------------------
// Random series: a walk whose bars have a range about the close, with missing values at
// random and in runs, and here and there an infinity.

struct SeriesCase {
    const char* meaning;
    std::size_t n;
    double missing_rate;  // of each value
    std::size_t missing_run;  // a run of missing closes this long in the middle
    bool infinite;  // one close is +inf
};

struct Series {
    std::vector<double> high, low, close;
};

Series make_series(const SeriesCase& c, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> step(0.0, 0.01);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    Series s{std::vector<double>(c.n), std::vector<double>(c.n), std::vector<double>(c.n)};
    double price = 100.0;
    for (std::size_t i = 0; i < c.n; ++i) {
        price *= std::exp(step(rng));
        s.close[i] = price;
        s.high[i] = price * (1.0 + 0.01 * unit(rng));
        s.low[i] = price * (1.0 - 0.01 * unit(rng));
        for (double* v : {&s.close[i], &s.high[i], &s.low[i]}) {
            if (unit(rng) < c.missing_rate) *v = kNaN;
        }
    }
    for (std::size_t i = c.n / 2; i < c.n / 2 + c.missing_run && i < c.n; ++i) s.close[i] = kNaN;
    if (c.infinite && c.n > 3) s.close[c.n / 3] = kInf;
    return s;
}

void expect_bits8(const std::vector<std::int8_t>& got, const std::vector<std::int8_t>& want) {
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i) EXPECT_EQ(got[i], want[i]) << "index " << i;
}

constexpr std::size_t kPeriods[] = {1, 2, 3, 14, 50};

class VectorKernels : public ::testing::TestWithParam<SeriesCase> {
protected:
    void SetUp() override { s_ = make_series(GetParam(), GetParam().n * 7919 + GetParam().missing_run); }
    Series s_;
};

TEST_P(VectorKernels, RsiIsThePlainLoop) {
    for (const std::size_t p : kPeriods) {
        SCOPED_TRACE("period " + std::to_string(p));
        auto got = indicators::momentum::rsi(s_.close, p);
        ASSERT_TRUE(got.ok());
        expect_bits(*got, rsi_loop(s_.close, p));
    }
}

TEST_P(VectorKernels, MacdIsThePlainLoop) {
    const std::array<std::size_t, 3> periods[] = {{1, 2, 1}, {3, 7, 2}, {12, 26, 9}, {5, 40, 20}};
    for (const auto& [fast, slow, sig] : periods) {
        SCOPED_TRACE("periods " + std::to_string(fast) + " " + std::to_string(slow) + " " + std::to_string(sig));
        auto got = indicators::momentum::macd(s_.close, fast, slow, sig);
        ASSERT_TRUE(got.ok());
        const Macd want = macd_loop(s_.close, fast, slow, sig);
        expect_bits(got->macd, want.line);
        expect_bits(got->signal, want.signal);
        expect_bits(got->histogram, want.histogram);
    }
}

TEST_P(VectorKernels, AtrIsThePlainLoop) {
    for (const std::size_t p : kPeriods) {
        SCOPED_TRACE("period " + std::to_string(p));
        auto got = indicators::volatility::atr(s_.high, s_.low, s_.close, p);
        ASSERT_TRUE(got.ok());
        expect_bits(*got, atr_loop(s_.high, s_.low, s_.close, p));
    }
}

TEST_P(VectorKernels, BollingerIsThePlainLoop) {
    for (const std::size_t p : kPeriods) {
        SCOPED_TRACE("period " + std::to_string(p));
        auto got = indicators::volatility::bollinger_bands(s_.close, p, 2.5);
        ASSERT_TRUE(got.ok());
        const Bands want = bollinger_loop(s_.close, p, 2.5);
        expect_bits(got->upper, want.upper);
        expect_bits(got->middle, want.middle);
        expect_bits(got->lower, want.lower);
    }
}

TEST_P(VectorKernels, SupertrendIsThePlainLoop) {
    for (const std::size_t p : kPeriods) {
        SCOPED_TRACE("period " + std::to_string(p));
        auto got = indicators::trend::supertrend(s_.high, s_.low, s_.close, p, 3.0);
        ASSERT_TRUE(got.ok());
        const Trend want = supertrend_loop(s_.high, s_.low, s_.close, p, 3.0);
        expect_bits(got->value, want.value);
        expect_bits8(got->direction, want.direction);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Series, VectorKernels,
    ::testing::Values(SeriesCase{"short", 7, 0.0, 0, false}, SeriesCase{"one_block", 256, 0.0, 0, false},
                      SeriesCase{"blocks_and_a_tail", 1203, 0.0, 0, false},
                      SeriesCase{"scattered_gaps", 1203, 0.01, 0, false},
                      SeriesCase{"a_run_of_gaps", 2049, 0.0, 40, false},
                      SeriesCase{"gaps_and_an_infinity", 2049, 0.003, 5, true}),
    [](const auto& info) { return std::string(info.param.meaning); });

// ---------------------------------------------------------------------------------------
// The instruction-set switch.

TEST(InstructionSets, CappedFromTheEnvironment) {
    simd::Isa widest = simd::Isa::Sse2;
    for (const simd::Isa isa : {simd::Isa::Avx2, simd::Isa::Avx512}) {
        if (simd::supports(isa)) widest = isa;
    }
    const char* cap = std::getenv("TARNWICK_SIMD");
    const std::optional<simd::Isa> asked = cap ? simd::parse_isa(cap) : std::nullopt;
    EXPECT_EQ(simd::widest_isa(), asked && *asked < widest ? *asked : widest);
}

TEST(InstructionSets, NarrowerSetsPassThisFoldersTests) {
    const std::string folder = std::filesystem::path(__FILE__).parent_path().string();
    testing_support::rerun_at_narrower_sets(
        [&](const std::string& file) { return std::filesystem::path(file).parent_path().string() == folder; });
}

}  // namespace
}  // namespace tarnwick
