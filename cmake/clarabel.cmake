# The Clarabel QP solver, reached through our own Rust staticlib rust/clarabel_ffi.
# Cargo builds it into the CMake binary dir; the result is the imported static
# library `clarabel_ffi` that the analytics layer links.
#
# pip runs CMake (through scikit-build-core) with whatever PATH the user has, which
# often lacks ~/.cargo/bin, hence the hints.
find_program(CARGO cargo REQUIRED HINTS $ENV{HOME}/.cargo/bin /root/.cargo/bin)

set(CLARABEL_FFI_DIR ${PROJECT_SOURCE_DIR}/rust/clarabel_ffi)
# An explicit target dir keeps the artifact where we expect it whatever
# CARGO_TARGET_DIR says, and keeps separate CMake build dirs from sharing one.
set(CLARABEL_FFI_TARGET_DIR ${CMAKE_BINARY_DIR}/cargo)
set(CLARABEL_FFI_LIB
    ${CLARABEL_FFI_TARGET_DIR}/release/${CMAKE_STATIC_LIBRARY_PREFIX}clarabel_ffi${CMAKE_STATIC_LIBRARY_SUFFIX})

get_filename_component(_clarabel_cargo_bin_dir ${CARGO} DIRECTORY)

# Every cargo run, the build's and the tests', goes through this one command line, so that
# `cargo test` finds the optimised dependencies of `cargo build --release` fresh instead of
# compiling them again: cargo rebuilds a crate when its profile, features, RUSTFLAGS or the
# environment its build script reads differ. The rustup proxy finds rustc next to cargo,
# hence the PATH for the pip case. CARGO_BUILD_TARGET would move the artifact under a
# triple directory. CC and CXX are cleared because pip's build backend sets them while
# ctest does not, and the C parts of Clarabel's dependencies are rebuilt (with everything
# above them) whenever they change.
set(CLARABEL_FFI_CARGO
    ${CMAKE_COMMAND} -E env --unset=CARGO_BUILD_TARGET --unset=CC --unset=CXX
    --modify PATH=path_list_prepend:${_clarabel_cargo_bin_dir}
    ${CARGO})
set(CLARABEL_FFI_CARGO_ARGS --release --locked --manifest-path ${CLARABEL_FFI_DIR}/Cargo.toml
    --target-dir ${CLARABEL_FFI_TARGET_DIR})
set(CLARABEL_FFI_SOURCES ${CLARABEL_FFI_DIR}/Cargo.toml ${CLARABEL_FFI_DIR}/Cargo.lock ${CLARABEL_FFI_DIR}/src/lib.rs)

add_custom_command(
  OUTPUT ${CLARABEL_FFI_LIB}
  COMMAND ${CLARABEL_FFI_CARGO} build ${CLARABEL_FFI_CARGO_ARGS}
  # Cargo leaves an up-to-date archive untouched; touching it stops the build tool
  # from rerunning cargo on every build after a no-op change to a dependency.
  COMMAND ${CMAKE_COMMAND} -E touch ${CLARABEL_FFI_LIB}
  DEPENDS ${CLARABEL_FFI_SOURCES}
  WORKING_DIRECTORY ${CLARABEL_FFI_DIR}
  COMMENT "Building the Clarabel solver shim with cargo (about a minute the first time)"
  # Cargo's own lines as they come: the build tool would hold them until cargo is done, and
  # the C++ objects may all be built by then, leaving a minute without a line.
  USES_TERMINAL
  VERBATIM)
add_custom_target(clarabel_ffi_cargo DEPENDS ${CLARABEL_FFI_LIB})

add_library(clarabel_ffi STATIC IMPORTED GLOBAL)
set_target_properties(clarabel_ffi PROPERTIES IMPORTED_LOCATION ${CLARABEL_FFI_LIB})
add_dependencies(clarabel_ffi clarabel_ffi_cargo)
# What Rust's std needs from the system (cargo's native-static-libs; libgcc_s comes
# with the C++ driver, rt and util live in glibc).
target_link_libraries(clarabel_ffi INTERFACE Threads::Threads ${CMAKE_DL_LIBS} m)
# Keep Rust's std symbols from being exported by the extension module.
target_link_options(clarabel_ffi INTERFACE
  $<$<PLATFORM_ID:Linux>:LINKER:--exclude-libs,${CMAKE_STATIC_LIBRARY_PREFIX}clarabel_ffi${CMAKE_STATIC_LIBRARY_SUFFIX}>)
set_property(DIRECTORY APPEND PROPERTY ADDITIONAL_CLEAN_FILES ${CLARABEL_FFI_TARGET_DIR})

# The shim's own tests (called after enable_testing and the C++ test binary). Their harness
# takes half a minute of whole-program optimisation, so it is built with the rest of the
# build, and ctest only runs it, through the same cargo command line as the library.
function(clarabel_ffi_add_tests)
  set(stamp ${CLARABEL_FFI_TARGET_DIR}/tests-built.stamp)
  add_custom_command(
    OUTPUT ${stamp}
    COMMAND ${CLARABEL_FFI_CARGO} test ${CLARABEL_FFI_CARGO_ARGS} --no-run
    COMMAND ${CMAKE_COMMAND} -E touch ${stamp}
    # After the library: two cargo runs in one target folder would wait on its lock.
    DEPENDS ${CLARABEL_FFI_SOURCES} ${CLARABEL_FFI_LIB}
    WORKING_DIRECTORY ${CLARABEL_FFI_DIR}
    COMMENT "Building the Clarabel shim's tests with cargo (half a minute the first time)"
    VERBATIM)
  add_custom_target(clarabel_ffi_tests ALL DEPENDS ${stamp})
  # Nothing needs the harness, so the build tool would leave it to the end and wait for it
  # alone; as a step before the C++ test binary it is built alongside the C++ tests.
  add_dependencies(tarnwick_analytics_tests clarabel_ffi_tests)
  add_test(NAME ClarabelShim.CargoTests
           COMMAND ${CLARABEL_FFI_CARGO} test ${CLARABEL_FFI_CARGO_ARGS} --quiet
           WORKING_DIRECTORY ${CLARABEL_FFI_DIR})
endfunction()
