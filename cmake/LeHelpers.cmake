# Test, fixture, benchmark and fuzz helpers.
#
# Generated test data lives in ${LE_TEST_DATA_DIR}. Fixtures (CTest
# FIXTURES_SETUP tests) generate it; tests name the fixtures they need.
set(LE_TEST_DATA_DIR "${CMAKE_BINARY_DIR}/testdata")

# How many times slower than the machine the tests run: under an emulator
# (a cross build's CTest runs programs through qemu-user) waits and deadlines
# in the tests stretch by this, read from $LE_TEST_TIME_SCALE.
# LE_TEST_EMULATOR is the shell words that start a built program (empty in
# a native build), for tests that start programs themselves.
set(LE_TEST_EMULATOR "")
if(CMAKE_CROSSCOMPILING AND CMAKE_CROSSCOMPILING_EMULATOR)
  list(JOIN CMAKE_CROSSCOMPILING_EMULATOR " " LE_TEST_EMULATOR)
  set(_le_default_scale 25)
else()
  set(_le_default_scale 1)
endif()
set(LE_TEST_TIME_SCALE ${_le_default_scale} CACHE STRING "Slowdown factor of the test programs' runs (emulation)")

# le_add_test(<name> LABEL <subsystem> SOURCES <files...>
#             [LIBS <libs...>] [FIXTURES <fixtures...>] [ENV <VAR=value...>])
# Builds a GoogleTest executable against the engine's interior and registers
# each of its test cases with CTest under the subsystem's label.
function(le_add_test name)
  cmake_parse_arguments(T "" "LABEL" "SOURCES;LIBS;FIXTURES;ENV" ${ARGN})
  if(NOT T_LABEL)
    message(FATAL_ERROR "le_add_test(${name}): LABEL is required")
  endif()
  add_executable(${name} ${T_SOURCES})
  if(LE_SANITIZE)
    target_sources(${name} PRIVATE ${CMAKE_SOURCE_DIR}/tests/sanitizer_suppressions.cc)
  endif()
  target_link_libraries(${name} PRIVATE facecore_core le_test_support GTest::gtest_main GTest::gmock ${T_LIBS})
  # Test names carry the executable's name so that equal case names in two
  # executables stay apart. Properties are applied by a script that runs after
  # discovery: list values (several fixtures or variables) do not survive
  # gtest_discover_tests' own PROPERTIES pass-through.
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
                       TEST_PREFIX "${name}." TEST_LIST ${name}_TESTS)
  set(_script "${CMAKE_CURRENT_BINARY_DIR}/${name}_properties.cmake")
  set(_body "if(DEFINED ${name}_TESTS)\n  set_tests_properties(\${${name}_TESTS} PROPERTIES LABELS [==[${T_LABEL}]==]")
  if(T_FIXTURES)
    string(APPEND _body " FIXTURES_REQUIRED [==[${T_FIXTURES}]==]")
  endif()
  if(NOT LE_TEST_TIME_SCALE EQUAL 1)
    list(APPEND T_ENV "LE_TEST_TIME_SCALE=${LE_TEST_TIME_SCALE}")
  endif()
  if(T_ENV)
    string(APPEND _body " ENVIRONMENT [==[${T_ENV}]==]")
  endif()
  string(APPEND _body ")\nendif()\n")
  file(WRITE "${_script}" "${_body}")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${_script}")
endfunction()

# le_add_fixture(<name> LABEL <label> COMMAND <cmd...> [REQUIRES <fixtures...>])
# Registers a CTest fixture-setup step (usually a generator run).
function(le_add_fixture name)
  cmake_parse_arguments(F "" "LABEL" "COMMAND;REQUIRES" ${ARGN})
  add_test(NAME fixture_${name} COMMAND ${F_COMMAND})
  set_tests_properties(fixture_${name} PROPERTIES FIXTURES_SETUP ${name} LABELS "${F_LABEL}")
  if(F_REQUIRES)
    set_tests_properties(fixture_${name} PROPERTIES FIXTURES_REQUIRED "${F_REQUIRES}")
  endif()
endfunction()

# Benchmarks: bench/<subsystem>_*.cc become build/bench/bench_<subsystem>.
function(le_add_bench subsystem)
  file(GLOB _srcs CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/bench/${subsystem}_*.cc)
  if(NOT _srcs OR NOT TARGET benchmark::benchmark)
    return()
  endif()
  add_executable(bench_${subsystem} ${_srcs})
  target_link_libraries(bench_${subsystem} PRIVATE facecore_core le_test_support benchmark::benchmark)
  if(OpenCV_FOUND)
    target_include_directories(bench_${subsystem} PRIVATE ${OpenCV_INCLUDE_DIRS})
    target_link_libraries(bench_${subsystem} PRIVATE ${OpenCV_LIBS})
    target_compile_definitions(bench_${subsystem} PRIVATE LE_HAVE_OPENCV=1)
  endif()
  target_compile_definitions(bench_${subsystem} PRIVATE
    LE_TEST_DATA_DIR_DEFAULT="${LE_TEST_DATA_DIR}" LE_PYTHON_DEFAULT="${LE_PYTHON}"
    LE_SOURCE_DIR_DEFAULT="${CMAKE_SOURCE_DIR}")
  set_target_properties(bench_${subsystem} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
endfunction()

# Fuzz targets: fuzz/<name>_fuzz.cc becomes fuzz_<name>. With LE_FUZZ it is a
# libFuzzer binary; otherwise a plain program that replays the files (or
# directories of files) named on its command line, so that every build keeps
# the targets compiling and the seed corpus runs as a regression test.
function(le_add_fuzzer src)
  get_filename_component(_stem ${src} NAME_WE)
  string(REGEX REPLACE "_fuzz$" "" _name ${_stem})
  add_executable(fuzz_${_name} ${src})
  target_link_libraries(fuzz_${_name} PRIVATE facecore_core)
  if(LE_FUZZ)
    target_compile_options(fuzz_${_name} PRIVATE -fsanitize=fuzzer)
    target_link_options(fuzz_${_name} PRIVATE -fsanitize=fuzzer)
  else()
    target_sources(fuzz_${_name} PRIVATE ${CMAKE_SOURCE_DIR}/fuzz/replay_main.cc)
  endif()
  set_target_properties(fuzz_${_name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/fuzz)
endfunction()
