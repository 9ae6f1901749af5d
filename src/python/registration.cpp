#include "python/registration.h"

namespace tarnwick::python {

std::span<Registrations (*const)()> registration_families() {
    static constexpr Registrations (*kFamilies[])() = {
        input_record_rows,
        run_result_rows,
        portfolio_result_rows,
        single_run_rows,
        basket_portfolio_run_rows,
        options_pairs_run_rows,
        multi_run_rows,
        spread_tick_run_rows,
        instrument_spec_rows,
        streaming_indicator_rows,
        bar_aggregation_rows,
        kernel_session_rows,
        portfolio_session_rows,
        session_record_rows,
        atr_period_rows,
        spread_batch_item_rows,
        spread_batch_rows,
        single_batch_rows,
        monte_carlo_rows,
        portfolio_analytics_class_rows,
        cross_section_class_rows,
        portfolio_analytics_function_rows,
        cross_section_function_rows,
        indicator_function_rows,
    };
    return kFamilies;
}

}  // namespace tarnwick::python
