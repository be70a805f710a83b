# Test and fuzz-target helpers shared by every folder under tests/.
include(CTest)

if(CLIPMENDER_LIBFUZZER)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "CLIPMENDER_LIBFUZZER needs clang (CXX=clang++)")
  endif()
  # Coverage instrumentation for everything; only fuzz targets link the libFuzzer main.
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()

if(BUILD_TESTING)
  find_package(GTest REQUIRED)
  include(GoogleTest)
endif()

# clipmender_add_test(NAME n SOURCES ... [LIBS ...] [LABELS ...])
# One GoogleTest executable whose cases are registered one by one with CTest.
# The default label is "unit"; tests that need root, loop devices or FUSE get
# their own executable and label so `ctest -L`/`-LE` can pick them.
function(clipmender_add_test)
  cmake_parse_arguments(T "" "NAME" "SOURCES;LIBS;LABELS" ${ARGN})
  if(NOT T_LABELS)
    set(T_LABELS unit)
  endif()
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} test_support GTest::gmock GTest::gtest GTest::gtest_main)
  # test_support's precompiled header serves only code compiled as it was:
  # position-independent as a library's code (as Qt's users are anyway),
  # not as an executable's.
  target_compile_options(${T_NAME} PRIVATE -fPIC)
  target_precompile_headers(${T_NAME} REUSE_FROM test_support)
  foreach(label ${T_LABELS})
    set_property(GLOBAL APPEND PROPERTY CLIPMENDER_TESTS_LABELLED_${label} ${T_NAME})
  endforeach()
  # Labels are set by a script that ctest runs after the discovered tests are
  # known: a label list passed through gtest_discover_tests' PROPERTIES loses
  # every label but the first.
  gtest_discover_tests(${T_NAME}
    DISCOVERY_TIMEOUT 60
    TEST_LIST ${T_NAME}_TESTS
    PROPERTIES ENVIRONMENT "CLIPMENDER_SOURCE_DIR=${PROJECT_SOURCE_DIR}")
  set(_labels_file ${CMAKE_CURRENT_BINARY_DIR}/${T_NAME}_labels.cmake)
  file(WRITE ${_labels_file}
    "if(${T_NAME}_TESTS)\n"
    "  set_tests_properties(\${${T_NAME}_TESTS} PROPERTIES LABELS \"${T_LABELS}\")\n"
    "endif()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${_labels_file})
endfunction()

# clipmender_add_fuzzer(NAME n SOURCES ... [LIBS ...] CORPUS dir)
# SOURCES define LLVMFuzzerTestOneInput. Every build gets "<n>_replay", which runs
# the committed corpus through the target and is registered as a test (label
# "fuzz"); a clang build with CLIPMENDER_LIBFUZZER also gets the real "<n>_fuzzer".
function(clipmender_add_fuzzer)
  cmake_parse_arguments(F "" "NAME;CORPUS" "SOURCES;LIBS" ${ARGN})
  add_executable(${F_NAME}_replay ${F_SOURCES} ${PROJECT_SOURCE_DIR}/tests/support/FuzzReplayMain.cpp)
  target_link_libraries(${F_NAME}_replay PRIVATE ${F_LIBS})
  target_include_directories(${F_NAME}_replay PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  add_test(NAME fuzz_replay.${F_NAME} COMMAND ${F_NAME}_replay ${F_CORPUS})
  set_tests_properties(fuzz_replay.${F_NAME} PROPERTIES LABELS fuzz TIMEOUT 600)
  if(CLIPMENDER_LIBFUZZER)
    add_executable(${F_NAME}_fuzzer ${F_SOURCES})
    target_link_libraries(${F_NAME}_fuzzer PRIVATE ${F_LIBS})
    target_include_directories(${F_NAME}_fuzzer PRIVATE ${PROJECT_SOURCE_DIR}/tests)
    target_link_options(${F_NAME}_fuzzer PRIVATE -fsanitize=fuzzer)
  endif()
endfunction()

# clipmender_add_headers_alone(NAME n HEADERS ...)
# An object library "<n>" with one source per header (given as it is included,
# without ".h") that includes only that header: each must compile on its own.
function(clipmender_add_headers_alone)
  cmake_parse_arguments(H "" "NAME" "HEADERS" ${ARGN})
  set(_sources)
  foreach(header ${H_HEADERS})
    string(REPLACE "/" "_" _file ${header})
    set(_source ${CMAKE_CURRENT_BINARY_DIR}/alone/${_file}.cpp)
    file(CONFIGURE OUTPUT ${_source} CONTENT "#include \"${header}.h\"\n")
    list(APPEND _sources ${_source})
  endforeach()
  add_library(${H_NAME} OBJECT ${_sources})
  target_link_libraries(${H_NAME} PRIVATE engine_headers)
endfunction()

# clipmender_add_test_targets(DIRECTORY dir LABELS ...)
# Call once every test folder is added. Makes "clipmender_tests", every
# program under `dir` (test programs, corpus replays, the tools tests run),
# and "clipmender_tests_<label>" for each label given, the programs of
# clipmender_add_test with that label. A sanitizer build then compiles only
# what its tests run (ctest shows the programs it did not build as
# "<name>_NOT_BUILT", without labels, so `ctest -L <label>` leaves them out).
function(clipmender_add_test_targets)
  cmake_parse_arguments(A "" "DIRECTORY" "LABELS" ${ARGN})
  set(_programs)
  set(_dirs ${A_DIRECTORY})
  while(_dirs)
    list(POP_FRONT _dirs _dir)
    get_property(_targets DIRECTORY ${_dir} PROPERTY BUILDSYSTEM_TARGETS)
    foreach(_target ${_targets})
      get_target_property(_type ${_target} TYPE)
      if(_type STREQUAL "EXECUTABLE")
        list(APPEND _programs ${_target})
      endif()
    endforeach()
    get_property(_subdirs DIRECTORY ${_dir} PROPERTY SUBDIRECTORIES)
    list(APPEND _dirs ${_subdirs})
  endwhile()
  add_custom_target(clipmender_tests)
  if(_programs)
    add_dependencies(clipmender_tests ${_programs})
  endif()
  foreach(label ${A_LABELS})
    get_property(_labelled GLOBAL PROPERTY CLIPMENDER_TESTS_LABELLED_${label})
    add_custom_target(clipmender_tests_${label})
    if(_labelled)
      add_dependencies(clipmender_tests_${label} ${_labelled})
    endif()
  endforeach()
endfunction()
