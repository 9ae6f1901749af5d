// Error values of the engine families. Each carries its kind and payload; message()
// renders the text the Python boundary raises as ValueError.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

namespace tarnwick::base {

struct CoreError {
    enum class Kind : std::uint8_t {
        DataLengthMismatch,    // a = expected, b = got
        InvalidParameter,      // text
        InsufficientData,      // a = need, b = got
        InvalidConfiguration,  // text
        DivisionByZero,        // text
        EmptyData,             // text
        IndexOutOfBounds,      // a = index, b = len
        PythonConversion,      // text
    };
    Kind kind;
    std::uint64_t a = 0;
    std::uint64_t b = 0;
    std::string text;

    static CoreError data_length_mismatch(std::uint64_t expected, std::uint64_t got) {
        return {Kind::DataLengthMismatch, expected, got, {}};
    }
    static CoreError invalid_parameter(std::string t) { return {Kind::InvalidParameter, 0, 0, std::move(t)}; }
    static CoreError insufficient_data(std::uint64_t need, std::uint64_t got) {
        return {Kind::InsufficientData, need, got, {}};
    }
    static CoreError invalid_configuration(std::string t) {
        return {Kind::InvalidConfiguration, 0, 0, std::move(t)};
    }
    static CoreError division_by_zero(std::string t) { return {Kind::DivisionByZero, 0, 0, std::move(t)}; }
    static CoreError empty_data(std::string t) { return {Kind::EmptyData, 0, 0, std::move(t)}; }
    static CoreError index_out_of_bounds(std::uint64_t index, std::uint64_t len) {
        return {Kind::IndexOutOfBounds, index, len, {}};
    }
    static CoreError python_conversion(std::string t) { return {Kind::PythonConversion, 0, 0, std::move(t)}; }

    std::string message() const;
};

struct PortfolioError {
    enum class Kind : std::uint8_t {
        NonFinite,             // a = row, b = col
        ShapeMismatch,         // text
        AssetIdsMismatch,      // text
        ZeroVariance,          // a = index
        NotPositiveDefinite,   // text
        Infeasible,            // text
        SolverFailed,          // text
        CrossSectionTooSmall,  // a = n, b = min_names
        Degenerate,            // text
    };
    Kind kind;
    std::uint64_t a = 0;
    std::uint64_t b = 0;
    std::string text;

    static PortfolioError non_finite(std::uint64_t row, std::uint64_t col) { return {Kind::NonFinite, row, col, {}}; }
    static PortfolioError shape_mismatch(std::string t) { return {Kind::ShapeMismatch, 0, 0, std::move(t)}; }
    static PortfolioError asset_ids_mismatch(std::string t) { return {Kind::AssetIdsMismatch, 0, 0, std::move(t)}; }
    static PortfolioError zero_variance(std::uint64_t index) { return {Kind::ZeroVariance, index, 0, {}}; }
    static PortfolioError not_positive_definite(std::string t) {
        return {Kind::NotPositiveDefinite, 0, 0, std::move(t)};
    }
    static PortfolioError infeasible(std::string t) { return {Kind::Infeasible, 0, 0, std::move(t)}; }
    static PortfolioError solver_failed(std::string t) { return {Kind::SolverFailed, 0, 0, std::move(t)}; }
    static PortfolioError cross_section_too_small(std::uint64_t n, std::uint64_t min_names) {
        return {Kind::CrossSectionTooSmall, n, min_names, {}};
    }
    static PortfolioError degenerate(std::string t) { return {Kind::Degenerate, 0, 0, std::move(t)}; }

    std::string message() const;
};

// Bar aggregation failures, all met when a builder is specified.
struct AggregateError {
    enum class Kind : std::uint8_t {
        UnknownUnit,   // text = the unit exactly as passed
        ZeroStep,      // no payload
        InvalidParam,  // text = which parameter and the rule it breaks
    };
    Kind kind;
    std::string text;

    static AggregateError unknown_unit(std::string unit) { return {Kind::UnknownUnit, std::move(unit)}; }
    static AggregateError zero_step() { return {Kind::ZeroStep, {}}; }
    static AggregateError invalid_param(std::string t) { return {Kind::InvalidParam, std::move(t)}; }

    std::string message() const;
};

// A failure whose whole text was formatted where it happened.
struct OwnError {
    std::string text;
    std::string message() const { return text; }
};

}  // namespace tarnwick::base
