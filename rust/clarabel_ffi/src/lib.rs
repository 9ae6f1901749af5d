//! C ABI over the Clarabel interior-point solver, as tarnwick's portfolio code uses it:
//! one quadratic program
//!
//!     minimise 1/2 x'Px + q'x  subject to  Ax + s = b,  s >= 0
//!
//! with P given as its upper triangle in CSC form and a single nonnegative cone over
//! all rows of A. The one export, `twk_clarabel_solve`, validates every array it is
//! handed before Clarabel sees it, turns setup failures and panics into an error code
//! with text, and never prints: a library inside a Python process has no business
//! writing to the terminal.

use std::any::Any;
use std::cell::{Cell, RefCell};
use std::os::raw::c_char;
use std::panic::{self, AssertUnwindSafe};
use std::sync::Once;

use clarabel::algebra::CscMatrix;
use clarabel::solver::{DefaultSettings, DefaultSolver, IPSolver, SolverStatus, SupportedConeT};

/// The solve ran; `status` says how it ended.
pub const TWK_CLARABEL_OK: i32 = 0;
/// An argument was malformed (null pointer, inconsistent CSC arrays, dimensions).
pub const TWK_CLARABEL_INVALID_INPUT: i32 = 1;
/// Clarabel rejected the problem or the settings while setting up.
pub const TWK_CLARABEL_SETUP_FAILED: i32 = 2;
/// Clarabel panicked; the panic was caught.
pub const TWK_CLARABEL_PANIC: i32 = 3;

/// A compressed-sparse-column matrix borrowed from the caller: `colptr` has `cols + 1`
/// entries starting at 0; `rowval` and `nzval` have `colptr[cols]` entries, rows
/// strictly increasing within each column.
#[repr(C)]
pub struct TwkCsc {
    pub rows: usize,
    pub cols: usize,
    pub colptr: *const usize,
    pub colptr_len: usize,
    pub rowval: *const usize,
    pub rowval_len: usize,
    pub nzval: *const f64,
    pub nzval_len: usize,
}

/// The settings we expose; every other Clarabel setting keeps its default, except that
/// printing is always off.
#[repr(C)]
pub struct TwkClarabelSettings {
    pub max_iter: u32,
    pub tol_gap_abs: f64,
    pub tol_gap_rel: f64,
    pub tol_feas: f64,
}

/// How a solve that ran ended. `status` indexes the list in `status_index`.
#[repr(C)]
pub struct TwkClarabelResult {
    pub status: u32,
    pub iterations: u32,
    pub objective: f64,
}

/// Solves one QP. `x_out` receives the primal solution (length n = `q_len`).
/// Returns one of the `TWK_CLARABEL_*` codes; on any code but `TWK_CLARABEL_OK` the
/// reason is copied into `err_buf` (truncated to `err_cap - 1` bytes, NUL-terminated)
/// and `x_out` is left as it was.
///
/// # Safety
/// Every non-null pointer must be valid for reads (or writes, for the outputs) of the
/// length passed with it, for the duration of the call.
#[no_mangle]
pub unsafe extern "C" fn twk_clarabel_solve(
    p_upper: *const TwkCsc,
    q: *const f64,
    q_len: usize,
    a: *const TwkCsc,
    b: *const f64,
    b_len: usize,
    settings: *const TwkClarabelSettings,
    x_out: *mut f64,
    x_len: usize,
    result_out: *mut TwkClarabelResult,
    err_buf: *mut c_char,
    err_cap: usize,
) -> i32 {
    let outcome = guarded(|| {
        solve_raw(
            p_upper, q, q_len, a, b, b_len, settings, x_out, x_len, result_out,
        )
    });
    match outcome {
        Ok(()) => {
            write_text(err_buf, err_cap, "");
            TWK_CLARABEL_OK
        }
        Err((code, text)) => {
            write_text(err_buf, err_cap, &text);
            code
        }
    }
}

type Failure = (i32, String);

fn invalid(text: String) -> Failure {
    (TWK_CLARABEL_INVALID_INPUT, text)
}

#[allow(clippy::too_many_arguments)]
unsafe fn solve_raw(
    p_upper: *const TwkCsc,
    q: *const f64,
    q_len: usize,
    a: *const TwkCsc,
    b: *const f64,
    b_len: usize,
    settings: *const TwkClarabelSettings,
    x_out: *mut f64,
    x_len: usize,
    result_out: *mut TwkClarabelResult,
) -> Result<(), Failure> {
    let result_out = result_out
        .as_mut()
        .ok_or_else(|| invalid("result pointer is null".to_string()))?;
    *result_out = TwkClarabelResult {
        status: status_index(SolverStatus::Unsolved),
        iterations: 0,
        objective: f64::NAN,
    };
    let p_raw = p_upper
        .as_ref()
        .ok_or_else(|| invalid("P: matrix pointer is null".to_string()))?;
    let a_raw = a
        .as_ref()
        .ok_or_else(|| invalid("A: matrix pointer is null".to_string()))?;
    let settings = settings
        .as_ref()
        .ok_or_else(|| invalid("settings pointer is null".to_string()))?;
    let q = raw_slice("q", q, q_len).map_err(invalid)?;
    let b = raw_slice("b", b, b_len).map_err(invalid)?;
    if x_out.is_null() && x_len != 0 {
        return Err(invalid("x: null pointer with nonzero length".to_string()));
    }

    let n = q.len();
    let m = b.len();
    let p = csc_from_raw("P", p_raw).map_err(invalid)?;
    let a = csc_from_raw("A", a_raw).map_err(invalid)?;
    if p.m != n || p.n != n {
        return Err(invalid(format!(
            "P: shape {}x{} does not match q of length {}",
            p.m, p.n, n
        )));
    }
    if let Some((row, col)) = first_below_diagonal(&p) {
        return Err(invalid(format!(
            "P: entry at row {row}, column {col} lies below the diagonal; pass the upper triangle only"
        )));
    }
    if a.n != n {
        return Err(invalid(format!(
            "A: {} columns do not match q of length {}",
            a.n, n
        )));
    }
    if a.m != m {
        return Err(invalid(format!(
            "A: {} rows do not match b of length {}",
            a.m, m
        )));
    }
    // Clarabel gives NaN no meaning of its own: a NaN in b, for one, comes back as
    // "DualInfeasible". An infinite b entry is the one non-finite value it defines
    // (+inf: the row never binds).
    check_finite("P", &p.nzval)?;
    check_finite("q", q)?;
    check_finite("A", &a.nzval)?;
    if let Some(i) = b.iter().position(|v| v.is_nan() || *v == f64::NEG_INFINITY) {
        return Err(invalid(format!("b: entry {i} is {}", b[i])));
    }
    if x_len != n {
        return Err(invalid(format!(
            "x: buffer length {x_len} does not match q of length {n}"
        )));
    }

    let clarabel_settings = DefaultSettings::<f64> {
        max_iter: settings.max_iter,
        tol_gap_abs: settings.tol_gap_abs,
        tol_gap_rel: settings.tol_gap_rel,
        tol_feas: settings.tol_feas,
        verbose: false,
        // The sparse factorisation splits its work by thread count, and the split
        // changes the rounding; one thread keeps a book's answer the same on every
        // call, whatever else the process runs in parallel.
        max_threads: 1,
        ..DefaultSettings::default()
    };
    let cones = [SupportedConeT::NonnegativeConeT(m)];
    let mut solver = DefaultSolver::new(&p, q, &a, b, &cones, clarabel_settings)
        .map_err(|e| (TWK_CLARABEL_SETUP_FAILED, e.to_string()))?;
    solver.solve();

    let solution = &solver.solution;
    if solution.x.len() != n {
        return Err((
            TWK_CLARABEL_SETUP_FAILED,
            format!(
                "solver returned {} primal values for {} variables",
                solution.x.len(),
                n
            ),
        ));
    }
    if n != 0 {
        std::slice::from_raw_parts_mut(x_out, n).copy_from_slice(&solution.x);
    }
    *result_out = TwkClarabelResult {
        status: status_index(solution.status),
        iterations: solution.iterations,
        objective: solution.obj_val,
    };
    Ok(())
}

fn check_finite(name: &str, values: &[f64]) -> Result<(), Failure> {
    match values.iter().position(|v| !v.is_finite()) {
        Some(i) => Err(invalid(format!("{name}: entry {i} is {}", values[i]))),
        None => Ok(()),
    }
}

/// Position of each status in the list the C++ side mirrors. Spelled out, so that a
/// reordering in Clarabel cannot silently shift the meaning of an index.
fn status_index(status: SolverStatus) -> u32 {
    match status {
        SolverStatus::Unsolved => 0,
        SolverStatus::Solved => 1,
        SolverStatus::PrimalInfeasible => 2,
        SolverStatus::DualInfeasible => 3,
        SolverStatus::AlmostSolved => 4,
        SolverStatus::AlmostPrimalInfeasible => 5,
        SolverStatus::AlmostDualInfeasible => 6,
        SolverStatus::MaxIterations => 7,
        SolverStatus::MaxTime => 8,
        SolverStatus::NumericalError => 9,
        SolverStatus::InsufficientProgress => 10,
        SolverStatus::CallbackTerminated => 11,
    }
}

/// Borrows a caller array; a zero length needs no valid pointer.
unsafe fn raw_slice<'a, T>(name: &str, ptr: *const T, len: usize) -> Result<&'a [T], String> {
    if len == 0 {
        return Ok(&[]);
    }
    if ptr.is_null() {
        return Err(format!("{name}: null pointer with length {len}"));
    }
    if (ptr as usize) % std::mem::align_of::<T>() != 0 {
        return Err(format!("{name}: misaligned pointer"));
    }
    match len.checked_mul(std::mem::size_of::<T>()) {
        Some(bytes) if bytes <= isize::MAX as usize => Ok(std::slice::from_raw_parts(ptr, len)),
        _ => Err(format!("{name}: length {len} is too large")),
    }
}

/// Copies a caller CSC matrix after checking everything Clarabel relies on without
/// checking itself: colptr length, start and monotonicity, array lengths, row bounds
/// and strict row order within each column.
unsafe fn csc_from_raw(name: &str, raw: &TwkCsc) -> Result<CscMatrix<f64>, String> {
    let colptr = raw_slice(&format!("{name}.colptr"), raw.colptr, raw.colptr_len)?;
    let rowval = raw_slice(&format!("{name}.rowval"), raw.rowval, raw.rowval_len)?;
    let nzval = raw_slice(&format!("{name}.nzval"), raw.nzval, raw.nzval_len)?;
    let (rows, cols) = (raw.rows, raw.cols);

    if cols.checked_add(1) != Some(colptr.len()) {
        return Err(format!(
            "{name}: colptr has length {}, expected cols + 1 = {}",
            colptr.len(),
            cols as u128 + 1
        ));
    }
    if colptr[0] != 0 {
        return Err(format!("{name}: colptr[0] is {}, expected 0", colptr[0]));
    }
    if let Some(j) = colptr.windows(2).position(|w| w[0] > w[1]) {
        return Err(format!("{name}: colptr decreases at column {j}"));
    }
    let nnz = colptr[cols];
    if rowval.len() != nnz || nzval.len() != nnz {
        return Err(format!(
            "{name}: colptr[cols] = {nnz} but rowval has {} and nzval {} entries",
            rowval.len(),
            nzval.len()
        ));
    }
    for col in 0..cols {
        let column = &rowval[colptr[col]..colptr[col + 1]];
        if let Some(&row) = column.iter().find(|&&r| r >= rows) {
            return Err(format!(
                "{name}: row index {row} in column {col} is out of range for {rows} rows"
            ));
        }
        if column.windows(2).any(|w| w[0] >= w[1]) {
            return Err(format!(
                "{name}: row indices in column {col} are not strictly increasing"
            ));
        }
    }

    let matrix = CscMatrix::new(rows, cols, colptr.to_vec(), rowval.to_vec(), nzval.to_vec());
    matrix.check_format().map_err(|e| format!("{name}: {e}"))?;
    Ok(matrix)
}

fn first_below_diagonal(p: &CscMatrix<f64>) -> Option<(usize, usize)> {
    (0..p.n).find_map(|col| {
        p.rowval[p.colptr[col]..p.colptr[col + 1]]
            .iter()
            .find(|&&row| row > col)
            .map(|&row| (row, col))
    })
}

/// Copies `text` into a caller buffer of `cap` bytes, cut at a character boundary so
/// the result stays valid UTF-8, and NUL-terminates it.
unsafe fn write_text(buf: *mut c_char, cap: usize, text: &str) {
    if buf.is_null() || cap == 0 {
        return;
    }
    let mut len = text.len().min(cap - 1);
    while !text.is_char_boundary(len) {
        len -= 1;
    }
    std::ptr::copy_nonoverlapping(text.as_ptr(), buf.cast::<u8>(), len);
    *buf.add(len) = 0;
}

thread_local! {
    // Set while this thread runs inside `guarded`: its panics are reported as values,
    // so the hook keeps quiet and only notes where the panic happened.
    static QUIET_PANICS: Cell<bool> = const { Cell::new(false) };
    static PANIC_LOCATION: RefCell<Option<String>> = const { RefCell::new(None) };
}

fn install_quiet_hook() {
    static INSTALL: Once = Once::new();
    INSTALL.call_once(|| {
        let previous = panic::take_hook();
        panic::set_hook(Box::new(move |info| {
            if QUIET_PANICS.with(Cell::get) {
                let location = info
                    .location()
                    .map(|l| format!("{}:{}", l.file(), l.line()));
                PANIC_LOCATION.with(|slot| *slot.borrow_mut() = location);
            } else {
                previous(info);
            }
        }));
    });
}

/// Runs `body`, turning a panic into `TWK_CLARABEL_PANIC` with the panic's text.
fn guarded<F>(body: F) -> Result<(), Failure>
where
    F: FnOnce() -> Result<(), Failure>,
{
    install_quiet_hook();
    let was_quiet = QUIET_PANICS.with(|q| q.replace(true));
    PANIC_LOCATION.with(|slot| slot.borrow_mut().take());
    let outcome = panic::catch_unwind(AssertUnwindSafe(body));
    QUIET_PANICS.with(|q| q.set(was_quiet));
    match outcome {
        Ok(result) => result,
        Err(payload) => {
            let mut text = format!("solver panicked: {}", panic_text(payload.as_ref()));
            if let Some(location) = PANIC_LOCATION.with(|slot| slot.borrow_mut().take()) {
                text.push_str(&format!(" (at {location})"));
            }
            Err((TWK_CLARABEL_PANIC, text))
        }
    }
}

fn panic_text(payload: &(dyn Any + Send)) -> &str {
    if let Some(s) = payload.downcast_ref::<&str>() {
        s
    } else if let Some(s) = payload.downcast_ref::<String>() {
        s
    } else {
        "non-text panic payload"
    }
}

#[cfg(test)]
mod tests {
    use super::*;

    #[test]
    fn a_panic_becomes_an_error_value_with_its_text() {
        let outcome = guarded(|| panic!("boom {}", 7));
        let (code, text) = outcome.unwrap_err();
        assert_eq!(code, TWK_CLARABEL_PANIC);
        assert!(text.starts_with("solver panicked: boom 7 (at "), "{text}");
        // The guard leaves the thread as it found it.
        assert!(!QUIET_PANICS.with(Cell::get));
    }

    #[test]
    fn error_text_is_cut_at_a_character_boundary_and_terminated() {
        let mut buf = [0x7f as c_char; 6];
        // "é" is two bytes; 5 usable bytes end in the middle of the third "é".
        unsafe { write_text(buf.as_mut_ptr(), buf.len(), "ééé") };
        let bytes: Vec<u8> = buf.iter().map(|&c| c as u8).collect();
        assert_eq!(&bytes[..5], "éé\0".as_bytes());
        unsafe { write_text(buf.as_mut_ptr(), 0, "x") };
        assert_eq!(buf[0] as u8, "é".as_bytes()[0]);
    }

    #[test]
    fn a_column_out_of_row_order_is_rejected() {
        let colptr = [0usize, 2];
        let rowval = [1usize, 0];
        let nzval = [1.0, 2.0];
        let raw = TwkCsc {
            rows: 2,
            cols: 1,
            colptr: colptr.as_ptr(),
            colptr_len: 2,
            rowval: rowval.as_ptr(),
            rowval_len: 2,
            nzval: nzval.as_ptr(),
            nzval_len: 2,
        };
        let e = unsafe { csc_from_raw("A", &raw) }.unwrap_err();
        assert_eq!(e, "A: row indices in column 0 are not strictly increasing");
    }
}
