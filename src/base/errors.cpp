#include "base/errors.h"

#include "base/format.h"

namespace tarnwick::base {

std::string CoreError::message() const {
    switch (kind) {
        case Kind::DataLengthMismatch: return fmt::format("Data length mismatch: expected {}, got {}", a, b);
        case Kind::InvalidParameter: return fmt::format("Invalid parameter: {}", text);
        case Kind::InsufficientData: return fmt::format("Insufficient data: need at least {} elements, got {}", a, b);
        case Kind::InvalidConfiguration: return fmt::format("Invalid configuration: {}", text);
        case Kind::DivisionByZero: return fmt::format("Division by zero in {}", text);
        case Kind::EmptyData: return fmt::format("Empty data provided for {}", text);
        case Kind::IndexOutOfBounds: return fmt::format("Index {} out of bounds for length {}", a, b);
        case Kind::PythonConversion: return fmt::format("Python conversion error: {}", text);
    }
    return {};
}

std::string PortfolioError::message() const {
    switch (kind) {
        case Kind::NonFinite: return fmt::format("non-finite value at row {}, col {}", a, b);
        case Kind::ShapeMismatch: return fmt::format("shape mismatch: {}", text);
        case Kind::AssetIdsMismatch: return fmt::format("asset ids mismatch: {}", text);
        case Kind::ZeroVariance: return fmt::format("zero-variance asset at index {}", a);
        case Kind::NotPositiveDefinite: return fmt::format("covariance not positive definite: {}", text);
        case Kind::Infeasible: return fmt::format("infeasible constraints: {}", text);
        case Kind::SolverFailed: return fmt::format("solver failed: {}", text);
        case Kind::CrossSectionTooSmall: return fmt::format("cross-section too small: {} < min_names {}", a, b);
        case Kind::Degenerate: return fmt::format("degenerate input: {}", text);
    }
    return {};
}

std::string AggregateError::message() const {
    switch (kind) {
        case Kind::UnknownUnit: return fmt::format("unknown aggregation unit {}", text);
        case Kind::ZeroStep: return "aggregation step must be >= 1";
        case Kind::InvalidParam: return fmt::format("invalid builder parameter: {}", text);
    }
    return {};
}

}  // namespace tarnwick::base
