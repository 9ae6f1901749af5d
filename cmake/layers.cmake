# The engine's layers and their tests, shared by the build and the layer check's own test.
#
# tarnwick_layer(name USES ... EXTERNAL ...): the folder src/<name> as one static library
# that links only the layers it may use, compiled with TARNWICK_SOURCE_FLAGS; the names
# declared, in order, are the global property TARNWICK_LAYER_NAMES. tools/check_layers.py holds the same table,
# checks that the build's lines mirror it, and holds every compiled file to it through the
# compiler's own dependency output.
#
# tarnwick_layer_tests(name [LINK target]): the C++ tests of tests/cpp/<name>/ as their own
# executable, linked against that layer (and so the layers it may use) and nothing else: a
# test that reaches across a layer does not link. The files directly in tests/cpp/ are
# the support every layer's tests share; the table-name checks among them run in every
# executable. Tests are listed to ctest as "<name>.Suite.Test".

function(tarnwick_layer name)
  cmake_parse_arguments(PARSE_ARGV 1 LAYER "" "" "USES;EXTERNAL")
  file(GLOB_RECURSE sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/src/${name}/*.cpp)
  add_library(tarnwick_${name} STATIC ${sources})
  target_include_directories(tarnwick_${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  target_compile_options(tarnwick_${name} PRIVATE ${TARNWICK_SOURCE_FLAGS})
  # The module exports its init function and nothing of the engine.
  set_target_properties(tarnwick_${name} PROPERTIES CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
  list(TRANSFORM LAYER_USES PREPEND tarnwick_)
  target_link_libraries(tarnwick_${name} PUBLIC ${LAYER_USES} ${LAYER_EXTERNAL})
  set_property(GLOBAL APPEND PROPERTY TARNWICK_LAYER_NAMES ${name})
endfunction()

function(tarnwick_layer_tests name)
  cmake_parse_arguments(PARSE_ARGV 1 TESTS "" "" "LINK")
  file(GLOB_RECURSE sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tests/cpp/${name}/*.cpp)
  if(NOT sources)
    return()
  endif()
  file(GLOB support CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tests/cpp/*.cpp)
  if(NOT TESTS_LINK)
    set(TESTS_LINK tarnwick_${name})
  endif()
  add_executable(tarnwick_${name}_tests ${sources} ${support})
  target_include_directories(tarnwick_${name}_tests PRIVATE ${PROJECT_SOURCE_DIR}/tests/cpp)
  target_compile_options(tarnwick_${name}_tests PRIVATE ${TARNWICK_FLAGS})
  target_compile_definitions(tarnwick_${name}_tests PRIVATE TARNWICK_TEST_PREFIX="${name}.")
  target_link_libraries(tarnwick_${name}_tests PRIVATE ${TESTS_LINK} GTest::gtest GTest::gtest_main)
  gtest_discover_tests(tarnwick_${name}_tests TEST_PREFIX "${name}." DISCOVERY_TIMEOUT 60)
endfunction()
