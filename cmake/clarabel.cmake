# Placeholder until the Clarabel shim lands: an empty interface target.
add_library(clarabel_ffi INTERFACE)
