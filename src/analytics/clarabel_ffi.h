// C declarations of the Rust solver shim in rust/clarabel_ffi (src/lib.rs). Private to
// solver.cpp: the rest of the engine goes through solver.h. Layouts and codes must stay
// in step with the #[repr(C)] types and constants there.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" {

enum : std::int32_t {
    TWK_CLARABEL_OK = 0,
    TWK_CLARABEL_INVALID_INPUT = 1,
    TWK_CLARABEL_SETUP_FAILED = 2,
    TWK_CLARABEL_PANIC = 3,
};

// Borrowed compressed-sparse-column matrix; Rust's usize is std::size_t here.
struct TwkCsc {
    std::size_t rows;
    std::size_t cols;
    const std::size_t* colptr;
    std::size_t colptr_len;
    const std::size_t* rowval;
    std::size_t rowval_len;
    const double* nzval;
    std::size_t nzval_len;
};

struct TwkClarabelSettings {
    std::uint32_t max_iter;
    double tol_gap_abs;
    double tol_gap_rel;
    double tol_feas;
};

struct TwkClarabelResult {
    std::uint32_t status;  // index into tarnwick::solver::Status
    std::uint32_t iterations;
    double objective;
};

// Returns a TWK_CLARABEL_* code; on any other than TWK_CLARABEL_OK the reason is in
// err_buf (NUL-terminated, truncated to err_cap - 1 bytes) and x_out is untouched.
std::int32_t twk_clarabel_solve(const TwkCsc* p_upper, const double* q, std::size_t q_len, const TwkCsc* a,
                                const double* b, std::size_t b_len, const TwkClarabelSettings* settings,
                                double* x_out, std::size_t x_len, TwkClarabelResult* result_out, char* err_buf,
                                std::size_t err_cap);

}  // extern "C"

static_assert(sizeof(std::size_t) == sizeof(std::uintptr_t), "Rust usize is pointer-sized");
