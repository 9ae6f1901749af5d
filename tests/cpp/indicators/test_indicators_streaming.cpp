#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <vector>

#include "indicators/momentum.h"
#include "indicators/streaming.h"
#include "indicators/trend.h"
#include "indicators/volatility.h"
#include "test_indicators_util.h"

using namespace tarnwick;
using namespace tarnwick::indicators;
using ind_test::NaN;

namespace {

constexpr std::uint64_t kHuge = std::numeric_limits<std::uint64_t>::max();
constexpr double kMost = std::numeric_limits<double>::max();

// Feeds closes (high = low = close) and returns the first element of each value, NaN
// while absent.
std::vector<double> feed_closes(Indicator ind, const std::vector<double>& closes) {
    std::vector<double> out;
    for (double c : closes) {
        IndicatorValue v = ind.update_bar(0.0, c, c, c);
        out.push_back(v.present() ? v.v[0] : NaN);
    }
    return out;
}

struct Walk {
    std::vector<double> high, low, close;
};
Walk random_walk(std::size_t n, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> step(0.0, 1.0);
    std::uniform_real_distribution<double> wick(0.0, 1.5);
    Walk w;
    double price = 100.0;
    for (std::size_t i = 0; i < n; ++i) {
        price += step(rng);
        w.close.push_back(price);
        w.high.push_back(price + wick(rng));
        w.low.push_back(price - wick(rng));
    }
    return w;
}

}  // namespace

struct ScalarCase {
    const char* label;
    Indicator (*make)();
    std::vector<double> closes;
    std::vector<double> want;  // NaN = no value yet
};
class IndicatorsStreamingScalar : public ::testing::TestWithParam<ScalarCase> {};
TEST_P(IndicatorsStreamingScalar, Values) {
    const auto& c = GetParam();
    ind_test::expect_series(feed_closes(c.make(), c.closes), c.want);
}
INSTANTIATE_TEST_SUITE_P(
    Indicators, IndicatorsStreamingScalar,
    ::testing::Values(
        ScalarCase{"sma", [] { return Indicator::sma(3); }, {1, 2, 3, 4, 5}, {NaN, NaN, 2, 3, 4}},
        ScalarCase{"sma0", [] { return Indicator::sma(0); }, {1, 2, 3}, {1, 2, 3}},
        ScalarCase{"ema", [] { return Indicator::ema(3); }, {1, 2, 3, 4, 5}, {NaN, NaN, 2, 3, 4}},
        // alpha 1/2: seed (2 + 4) / 2 = 3, then 3 * .5 + 8 * .5 = 5.5
        ScalarCase{"wilder", [] { return Indicator::wilder_ma(2); }, {2, 4, 8}, {NaN, 3, 5.5}},
        // (1*1 + 2*2 + 3*3) / 6; then (1*2 + 2*3 + 3*10) / 6 = 38/6
        ScalarCase{"wma", [] { return Indicator::wma(3); }, {1, 2, 3, 10}, {NaN, NaN, 14.0 / 6, 38.0 / 6}},
        // base 0 leaves no value; then (20 - 5) / 5 * 100
        ScalarCase{"roc", [] { return Indicator::roc(2); }, {0, 5, 10, 20}, {NaN, NaN, NaN, 300}},
        // (6-2)/2*100 = 200, (0-6)/6*100 = -100, then a zero base keeps -100
        ScalarCase{"roc_hold", [] { return Indicator::roc(1); }, {2, 6, 0, 7}, {NaN, 200, -100, -100}},
        ScalarCase{"stddev", [] { return Indicator::stddev(2); }, {1, 3}, {NaN, 1}},
        ScalarCase{"rsi", [] { return Indicator::rsi(2); }, {1, 2, 3}, {NaN, NaN, 100}},
        // moves +1, -1, +1: seed gain .5 loss .5 -> 50; then gain .75, loss .25 -> 75
        ScalarCase{"rsi_mixed", [] { return Indicator::rsi(2); }, {1, 2, 1, 2}, {NaN, NaN, 50, 75}},
        // a NaN close enters the running sum for good, also after leaving the window
        ScalarCase{"sma_nan", [] { return Indicator::sma(2); }, {1, NaN, 3, 4, 5}, {NaN, NaN, NaN, NaN, NaN}},
        // wma and roc recompute from their windows and recover
        ScalarCase{"wma_nan", [] { return Indicator::wma(2); }, {1, NaN, 3, 6}, {NaN, NaN, NaN, 5}},
        ScalarCase{"roc_nan", [] { return Indicator::roc(1); }, {1, NaN, 3, 6}, {NaN, NaN, NaN, 100}}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(IndicatorsStreaming, DonchianWithoutUsableExtremes) {
    // Windows without usable highs or lows report the extreme finite numbers.
    Indicator e = Indicator::donchian(2);
    e.update_bar(0, NaN, NaN, 0);
    IndicatorValue c = e.update_bar(0, -INFINITY, INFINITY, 0);
    ASSERT_EQ(c.count, 2);
    EXPECT_EQ(c.v[0], -kMost);
    EXPECT_EQ(c.v[1], kMost);
}

TEST(IndicatorsStreaming, BollingerNegativeWidthSwapsTheBands) {
    // mean 2, population deviation 1: (middle, upper, lower) with k = -2
    Indicator neg = Indicator::bollinger(2, -2.0);
    neg.update_bar(0, 1, 1, 1);
    EXPECT_EQ(neg.update_bar(0, 3, 3, 3).v, (std::array<double, 3>{2, 0, 4}));
}

TEST(IndicatorsStreaming, MacdTripleAndWarmUp) {
    // fast 1 follows the close; slow 2 seeds at (1 + 3) / 2 = 2; macd 1; signal 1 = 1
    Indicator m = Indicator::macd(1, 2, 1);
    EXPECT_FALSE(m.update_bar(0, 1, 1, 1).present());
    EXPECT_EQ(m.update_bar(0, 3, 3, 3).v, (std::array<double, 3>{1, 1, 0}));

    // fast above slow is accepted; the first value comes on bar 26 + 9 - 1.
    Indicator inverted = Indicator::macd(26, 12, 9);
    for (int bar = 1; bar <= 34; ++bar) {
        IndicatorValue v = inverted.update_bar(0, bar, bar, bar);
        EXPECT_EQ(v.present(), bar == 34) << bar;
    }
}

TEST(IndicatorsStreaming, ResetReplaysLikeANewObject) {
    const Walk w = random_walk(80, 7);
    for (Indicator ind : {Indicator::sma(5), Indicator::ema(5), Indicator::wilder_ma(4), Indicator::wma(6),
                          Indicator::roc(3), Indicator::stddev(5), Indicator::rsi(6), Indicator::atr(7),
                          Indicator::donchian(9), Indicator::bollinger(8, 1.5), Indicator::macd(3, 7, 4)}) {
        Indicator fresh = ind;
        std::vector<IndicatorValue> first, second;
        for (std::size_t i = 0; i < 50; ++i) first.push_back(ind.update_bar(0, w.high[i], w.low[i], w.close[i]));
        ind.reset();
        EXPECT_FALSE(ind.initialized());
        EXPECT_FALSE(ind.value().present());
        for (std::size_t i = 0; i < 50; ++i) second.push_back(ind.update_bar(0, w.high[i], w.low[i], w.close[i]));
        for (std::size_t i = 0; i < 50; ++i) {
            ASSERT_EQ(first[i].count, second[i].count) << ind.kind_name();
            EXPECT_EQ(first[i].v, second[i].v) << ind.kind_name() << " bar " << i;
            EXPECT_EQ(fresh.update_bar(0, w.high[i], w.low[i], w.close[i]).v, first[i].v);
        }
        EXPECT_EQ(ind.value().v, second.back().v);
    }
}

TEST(IndicatorsStreaming, HugePeriodsCostNothingUpFront) {
    // Building these must not reserve anything proportional to the period; feeding them
    // keeps them in warm-up.
    const Walk w = random_walk(2000, 3);
    const std::uint64_t big = std::uint64_t{1} << 60;
    for (std::uint64_t p : {big, kHuge}) {
        for (Indicator ind : {Indicator::sma(p), Indicator::ema(p), Indicator::wilder_ma(p), Indicator::wma(p),
                              Indicator::roc(p), Indicator::stddev(p), Indicator::rsi(p), Indicator::atr(p),
                              Indicator::donchian(p), Indicator::bollinger(p), Indicator::macd(p, p, p)}) {
            for (std::size_t i = 0; i < w.close.size(); ++i) ind.update_bar(0, w.high[i], w.low[i], w.close[i]);
            EXPECT_FALSE(ind.initialized()) << ind.kind_name();
        }
    }
    // The weight total of the largest wma is (2^64 - 1) * 2^64 / 2, which rounds to 2^127,
    // not a wrapped product.
    EXPECT_EQ(streaming::WmaCore(kHuge).denominator, std::ldexp(1.0, 127));
}

TEST(IndicatorsStreaming, BitForBitWithTheBatchKernels) {
    const Walk w = random_walk(500, 20261207);
    const std::size_t n = w.close.size();
    auto stream = [&](Indicator ind, std::size_t slot) {
        std::vector<double> out;
        for (std::size_t i = 0; i < n; ++i) {
            IndicatorValue v = ind.update_bar(0, w.high[i], w.low[i], w.close[i]);
            out.push_back(v.present() ? v.v[slot] : ind_test::NaN);
        }
        return out;
    };

    for (std::uint64_t p : {1, 14}) {
        ind_test::expect_bits(stream(Indicator::ema(p), 0), trend::ema(w.close, p).value());
        ind_test::expect_bits(stream(Indicator::rsi(p), 0), momentum::rsi(w.close, p).value());
        ind_test::expect_bits(stream(Indicator::atr(p), 0), volatility::atr(w.high, w.low, w.close, p).value());
    }
    for (std::array<std::uint64_t, 3> m : {std::array<std::uint64_t, 3>{12, 26, 9}, {1, 5, 4}}) {
        auto batch = momentum::macd(w.close, m[0], m[1], m[2]).value();
        // The streaming object shows the triple only once the signal exists.
        for (std::size_t i = 0; i < m[1] + m[2] - 2; ++i) batch.macd[i] = ind_test::NaN;
        ind_test::expect_bits(stream(Indicator::macd(m[0], m[1], m[2]), 0), batch.macd);
        ind_test::expect_bits(stream(Indicator::macd(m[0], m[1], m[2]), 1), batch.signal);
        ind_test::expect_bits(stream(Indicator::macd(m[0], m[1], m[2]), 2), batch.histogram);
    }

    ind_test::expect_bits(stream(Indicator::donchian(20), 0), volatility::rolling_max(w.high, 20).value());
    ind_test::expect_bits(stream(Indicator::donchian(20), 1), volatility::rolling_min(w.low, 20).value());

    // The running sum rounds differently from the batch one after the first value.
    const auto sma_stream = stream(Indicator::sma(10), 0);
    const auto sma_batch = trend::sma(w.close, 10).value();
    EXPECT_EQ(sma_stream[9], sma_batch[9]);
    ind_test::expect_series(sma_stream, sma_batch, 1e-9);
}

TEST(IndicatorsStreaming, LongWindowsOutgrowTheInitialRoom) {
    // Windows longer than the room reserved up front grow while warming up and then wrap.
    const Walk w = random_walk(4000, 11);
    const std::vector<double> sma = feed_closes(Indicator::sma(3000), w.close);
    const std::vector<double> wma = feed_closes(Indicator::wma(1500), w.close);
    ind_test::expect_series(sma, trend::sma(w.close, 3000).value(), 1e-9);
    for (std::size_t i : {std::size_t{1499}, std::size_t{2500}, std::size_t{3999}}) {
        double num = 0.0;
        for (std::size_t j = 0; j < 1500; ++j) num += static_cast<double>(j + 1) * w.close[i - 1499 + j];
        EXPECT_NEAR(wma[i], num / (1500.0 * 1501.0 / 2.0), 1e-9) << i;
    }
    EXPECT_EQ(ind_test::leading_nan(wma), 1499u);
}

TEST(IndicatorsStreaming, AtrWithExactlyPeriodBars) {
    // The batch series needs more than period bars; the streaming object answers on the last.
    const std::vector<double> h{10, 11, 12}, l{8, 9, 10}, c{9, 10, 11};
    EXPECT_EQ(ind_test::leading_nan(volatility::atr(h, l, c, 3).value()), 3u);
    Indicator a = Indicator::atr(3);
    for (int i = 0; i < 2; ++i) EXPECT_FALSE(a.update_bar(0, h[i], l[i], c[i]).present());
    ASSERT_TRUE(a.update_bar(0, h[2], l[2], c[2]).present());
    EXPECT_DOUBLE_EQ(a.value().v[0], 2.0);  // TRs 2, 2, 2
}

TEST(IndicatorsStreaming, KindNames) {
    // Which kind each factory builds is checked from Python; here the text round trip.
    for (const char* text : {"sma", "ema", "wilder_ma", "wma", "roc", "stddev", "rsi", "atr", "donchian", "bollinger",
                             "macd"}) {
        auto parsed = parse_indicator_kind(text);
        ASSERT_TRUE(parsed.ok()) << text;
        EXPECT_EQ(name(*parsed), text);
    }
    auto bad = parse_indicator_kind("vwap");
    ASSERT_FALSE(bad.ok());
    EXPECT_EQ(bad.error().message(),
              "Invalid parameter: indicator kind must be one of sma, ema, wilder_ma, wma, roc, stddev, rsi, atr, "
              "donchian, bollinger, macd, got \"vwap\"");
}
