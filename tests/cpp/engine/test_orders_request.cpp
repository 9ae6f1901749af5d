// Order requests: every refusal message in its check order, the accepted shapes, tick
// offsets, and the refusal of NaN or non-positive sizes and prices.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>

#include "order_fixtures.h"

namespace tarnwick {

using engine::Kernel;
using engine::OffsetKind;
using engine::OmsType;
using engine::OrderRecord;
using engine::OrderRequest;
using engine::OrderRequestArgs;
using engine::SizeMode;
using engine::TimeInForce;

namespace {

using namespace testing_support;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

struct RefusalCase {
    const char* label;
    std::function<void(OrderRequestArgs&)> edit;
    const char* message;
};

class OrderRequestRefusal : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(OrderRequestRefusal, RefusedWithItsMessageAndTheKernelUnchanged) {
    Kernel k(order_config({}, OmsType::Netting, 0.0));
    OrderRequestArgs a = order_args("buy", "limit");
    a.limit_price = 100.0;
    GetParam().edit(a);
    auto id = k.submit_order(a);
    ASSERT_FALSE(id.ok());
    EXPECT_EQ(id.error().message(), GetParam().message);
    EXPECT_TRUE(k.orders().empty());
    EXPECT_TRUE(k.pending_events().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Messages, OrderRequestRefusal,
    ::testing::Values(
        RefusalCase{"capitalised_side", [](auto& a) { a.side = "Buy"; }, "unknown side \"Buy\""},
        RefusalCase{"side_escaped", [](auto& a) { a.side = "b\"y"; }, "unknown side \"b\\\"y\""},
        RefusalCase{"both_sizes", [](auto& a) { a.size_frac = 0.5; }, "pass units or size_frac, not both"},
        RefusalCase{"zero_units", [](auto& a) { a.units = 0.0; }, "units must be > 0"},
        RefusalCase{"negative_units", [](auto& a) { a.units = -1.0; }, "units must be > 0"},
        RefusalCase{"nan_units", [](auto& a) { a.units = kNaN; }, "units must be > 0"},
        RefusalCase{"infinite_units", [](auto& a) { a.units = kInf; }, "units must be finite"},
        RefusalCase{"zero_frac", [](auto& a) { a.units.reset(); a.size_frac = 0.0; }, "size_frac must be in (0, 1]"},
        RefusalCase{"frac_above_one", [](auto& a) { a.units.reset(); a.size_frac = 1.5; },
                    "size_frac must be in (0, 1]"},
        RefusalCase{"nan_frac", [](auto& a) { a.units.reset(); a.size_frac = kNaN; }, "size_frac must be in (0, 1]"},
        RefusalCase{"unknown_kind", [](auto& a) { a.kind = "stop"; }, "unknown order kind \"stop\""},
        RefusalCase{"limit_without_price", [](auto& a) { a.limit_price.reset(); }, "limit needs limit_price"},
        RefusalCase{"stop_limit_trigger_first", [](auto& a) { a.kind = "stop_limit"; a.limit_price.reset(); },
                    "stop_limit needs trigger_price"},
        RefusalCase{"stop_limit_then_limit",
                    [](auto& a) { a.kind = "limit_if_touched"; a.limit_price.reset(); a.trigger_price = 99.0; },
                    "limit_if_touched needs limit_price"},
        RefusalCase{"stop_market_needs_trigger", [](auto& a) { a.kind = "stop_market"; },
                    "stop_market needs trigger_price"},
        RefusalCase{"nan_limit", [](auto& a) { a.limit_price = kNaN; }, "limit_price must be finite and > 0"},
        RefusalCase{"negative_limit", [](auto& a) { a.limit_price = -3.0; }, "limit_price must be finite and > 0"},
        RefusalCase{"zero_trigger", [](auto& a) { a.kind = "stop_market"; a.trigger_price = 0.0; },
                    "trigger_price must be finite and > 0"},
        RefusalCase{"nan_stop_level", [](auto& a) { a.stop_price = kNaN; }, "stop_price must be finite and > 0"},
        RefusalCase{"infinite_target", [](auto& a) { a.target_price = kInf; }, "target_price must be finite and > 0"},
        RefusalCase{"trailing_without_offset", [](auto& a) { a.kind = "trailing_stop_market"; },
                    "trailing_stop_market needs offset"},
        RefusalCase{"zero_offset", [](auto& a) { a.kind = "trailing_stop_market"; a.offset = 0.0; },
                    "offset must be > 0"},
        RefusalCase{"nan_offset", [](auto& a) { a.kind = "trailing_stop_limit"; a.offset = kNaN; },
                    "offset must be > 0"},
        RefusalCase{"ticks_without_instrument",
                    [](auto& a) { a.kind = "trailing_stop_market"; a.offset = 4.0; a.offset_kind = "ticks"; },
                    "offset_kind='ticks' needs an instrument with price_increment"},
        RefusalCase{"unknown_offset_kind",
                    [](auto& a) { a.kind = "trailing_stop_market"; a.offset = 4.0; a.offset_kind = "pct"; },
                    "offset_kind must be 'price', 'bps', or 'ticks', got \"pct\""},
        RefusalCase{"nan_limit_offset",
                    [](auto& a) { a.kind = "trailing_stop_limit"; a.offset = 1.0; a.limit_offset = kNaN; },
                    "limit_offset must be finite"},
        RefusalCase{"unknown_tif", [](auto& a) { a.tif = "GTC"; }, "unknown tif \"GTC\""},
        RefusalCase{"gtd_without_expiry", [](auto& a) { a.tif = "gtd"; }, "gtd orders need expire_ns"},
        RefusalCase{"at_open_limit", [](auto& a) { a.tif = "at_open"; }, "at_open/at_close apply to market orders"},
        RefusalCase{"post_only_touched",
                    [](auto& a) { a.kind = "limit_if_touched"; a.trigger_price = 99.0; a.post_only = true; },
                    "post_only applies to limit orders"}),
    [](const ::testing::TestParamInfo<RefusalCase>& info) { return std::string(info.param.label); });

TEST(OrderRequest, AcceptedShapesKeepOnlyThePricesTheirKindUses) {
    Kernel k(order_config());
    OrderRequestArgs market = order_args("sell", "market");
    market.limit_price = 5.0;  // ignored by a market order
    market.tif = "at_close";
    const auto m = submit(k, market);
    EXPECT_FALSE(k.find_order(m)->prices.limit_price);

    OrderRequestArgs gtc = order_args("buy", "limit");
    gtc.limit_price = 100.0;
    gtc.expire_ns = 7;  // ignored outside "gtd"
    const auto g = submit(k, gtc);
    EXPECT_EQ(k.find_order(g)->expire_ns, 0);
    EXPECT_EQ(k.find_order(g)->tif, TimeInForce::Gtc);

    OrderRequestArgs whole = order_args("sell", "market", 0, std::nullopt);  // closing-side order
    EXPECT_EQ(k.find_order(submit(k, whole))->size_mode, SizeMode::None);

    OrderRequestArgs frac = order_args("buy", "market", 0, std::nullopt);
    frac.size_frac = 1.0;  // the upper bound is included
    EXPECT_EQ(k.find_order(submit(k, frac))->size_mode, SizeMode::SizeFrac);
    EXPECT_EQ(m, 0u);
    EXPECT_EQ(g, 1u);
}

TEST(OrderRequest, TickOffsetsBecomePriceDistances) {
    Kernel k(order_config({}, OmsType::Netting, 0.05));
    OrderRequestArgs a = order_args("sell", "trailing_stop_market");
    a.offset = 4.0;
    a.offset_kind = "ticks";
    const OrderRecord* o = k.find_order(submit(k, a));
    EXPECT_EQ(o->prices.offset_kind, OffsetKind::Price);
    EXPECT_DOUBLE_EQ(o->prices.offset, 0.2);  // 4 ticks x 0.05
    a.offset_kind = "bps";
    o = k.find_order(submit(k, a));
    EXPECT_EQ(o->prices.offset_kind, OffsetKind::Bps);
    EXPECT_EQ(o->prices.offset, 4.0);
}

TEST(OrderRequest, ModifyChecksSizesAndPricesBeforeChangingAnything) {
    Kernel k(order_config());
    OrderRequestArgs a = order_args("buy", "limit");
    a.limit_price = 100.0;
    const auto id = submit(k, a);
    auto both = k.modify_order(id, 1.0, 0.5, std::nullopt, std::nullopt);
    ASSERT_FALSE(both.ok());
    EXPECT_EQ(both.error().message(), "pass units or size_frac, not both");
    auto nan_units = k.modify_order(id, kNaN, std::nullopt, 99.0, std::nullopt);
    ASSERT_FALSE(nan_units.ok());
    EXPECT_EQ(nan_units.error().message(), "units must be > 0");
    auto bad_price = k.modify_order(id, std::nullopt, std::nullopt, -1.0, std::nullopt);
    ASSERT_FALSE(bad_price.ok());
    EXPECT_EQ(*k.find_order(id)->prices.limit_price, 100.0);
    EXPECT_EQ(k.find_order(id)->size_value, 10.0);
}

}  // namespace
}  // namespace tarnwick
