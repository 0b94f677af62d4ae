# Helpers that keep every target of the project uniform.
#
# add_project_library(NAME SRCS a.cpp ... DEPS dep ... [PRIVATE_DEPS dep ...] [INCLUDE_DIRS dir ...])
#   A static library of our own code, compiled with the project warnings. It also declares
#   NAME_tsan (built only when a ThreadSanitizer test links it) with the same sources.
#   INCLUDE_DIRS are public include folders besides src/ (both variants get them).
# add_project_test(NAME SRCS ... DEPS ... LABELS label ... [TSAN])
#   A GoogleTest executable; each test case becomes a CTest test with the given labels.
#   With TSAN, a second executable NAME_tsan is built with -fsanitize=thread against the
#   _tsan variants of its project dependencies and labelled "tsan" as well.
# add_project_bench(NAME SRCS ... DEPS ...)
#   A Google Benchmark executable, with a short smoke run registered in CTest (label bench).

set(PROJECT_WARNINGS -Wall -Wextra -Werror)
# In a sanitized build the libraries are compiled at -O1: their model arithmetic would otherwise
# dominate the suite's run time, and the checks are the same as at -O0. Test executables stay at
# -O0, where they compile fastest. The instrumentation at -O1 gives false "may be used
# uninitialized" reports (inside std::optional); the plain optimised build keeps that warning.
set(PROJECT_SANITIZED_LIBRARY_OPTIONS "")
if(SANITIZE)
  set(PROJECT_SANITIZED_LIBRARY_OPTIONS -O1 -Wno-maybe-uninitialized)
endif()
# Test executables (and their ThreadSanitizer copies) are compiled at -O0 with line tables only
# (-g1) in every build: the code under test is in the libraries, which keep the build's
# optimisation and full debug information, and a test body compiles in under two thirds of the
# time. Stack traces of tests, sanitizer reports included, still name files and lines.
# Benchmarks and tools keep the build's options.
set(PROJECT_TEST_OPTIONS -O0 -g1)
set(PROJECT_SRC_DIR ${CMAKE_SOURCE_DIR}/src)
set_property(GLOBAL PROPERTY PROJECT_LIBRARIES "")

# Maps each dependency to its _tsan variant. A project library declared later in the
# configure order (tools/ comes after tests/) is not known yet, so plain names are resolved at
# generate time: one uninstrumented copy of a library in a ThreadSanitizer build hides its
# synchronisation from the sanitizer and gives false reports.
function(_project_tsan_deps out)
  set(result "")
  get_property(libs GLOBAL PROPERTY PROJECT_LIBRARIES)
  foreach(d ${ARGN})
    if(d IN_LIST libs)
      list(APPEND result ${d}_tsan)
    elseif(d MATCHES "^[A-Za-z0-9_.+-]+$" AND NOT d MATCHES "^-")
      list(APPEND result "$<IF:$<TARGET_EXISTS:${d}_tsan>,${d}_tsan,${d}>")
    else()
      list(APPEND result ${d})
    endif()
  endforeach()
  set(${out} ${result} PARENT_SCOPE)
endfunction()

function(add_project_library NAME)
  cmake_parse_arguments(A "" "" "SRCS;DEPS;PRIVATE_DEPS;INCLUDE_DIRS" ${ARGN})
  add_library(${NAME} STATIC ${A_SRCS})
  target_include_directories(${NAME} PUBLIC ${PROJECT_SRC_DIR} ${A_INCLUDE_DIRS})
  target_compile_options(${NAME} PRIVATE ${PROJECT_WARNINGS} ${PROJECT_SANITIZED_LIBRARY_OPTIONS})
  target_link_libraries(${NAME} PUBLIC ${A_DEPS} PRIVATE ${A_PRIVATE_DEPS})
  if(PROJECT_TSAN_TESTS)
    _project_tsan_deps(tdeps ${A_DEPS})
    _project_tsan_deps(tpdeps ${A_PRIVATE_DEPS})
    add_library(${NAME}_tsan STATIC EXCLUDE_FROM_ALL ${A_SRCS})
    target_include_directories(${NAME}_tsan PUBLIC ${PROJECT_SRC_DIR} ${A_INCLUDE_DIRS})
    target_compile_options(${NAME}_tsan PRIVATE ${PROJECT_WARNINGS} PUBLIC -fsanitize=thread)
    target_link_options(${NAME}_tsan PUBLIC -fsanitize=thread)
    target_link_libraries(${NAME}_tsan PUBLIC ${tdeps} PRIVATE ${tpdeps})
  endif()
  set_property(GLOBAL APPEND PROPERTY PROJECT_LIBRARIES ${NAME})
endfunction()

# Gives the tests discovered from NAME their labels (and environment). Discovery flattens list
# values passed as its PROPERTIES, so a second label would be read as a property name; this
# file runs after the discovered list is read and sets them whole.
function(_project_label_tests NAME labels environment)
  set(file ${CMAKE_CURRENT_BINARY_DIR}/${NAME}_properties.cmake)
  set(content "if(${NAME}_TESTS)\n  set_tests_properties(\${${NAME}_TESTS} PROPERTIES LABELS \"${labels}\")\n")
  if(environment)
    string(APPEND content "  set_tests_properties(\${${NAME}_TESTS} PROPERTIES ENVIRONMENT \"${environment}\")\n")
  endif()
  string(APPEND content "endif()\n")
  file(WRITE ${file} "${content}")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${file})
endfunction()

function(add_project_test NAME)
  cmake_parse_arguments(A "TSAN" "" "SRCS;DEPS;LABELS" ${ARGN})
  add_executable(${NAME} ${A_SRCS})
  target_compile_options(${NAME} PRIVATE ${PROJECT_WARNINGS} ${PROJECT_TEST_OPTIONS})
  target_include_directories(${NAME} PRIVATE ${CMAKE_SOURCE_DIR}/tests)
  target_link_libraries(${NAME} PRIVATE ${A_DEPS} GTest::gtest GTest::gmock GTest::gtest_main Threads::Threads)
  target_compile_definitions(${NAME} PRIVATE PROJECT_TEST_DATA_DIR="${CMAKE_SOURCE_DIR}/tests/data")
  gtest_discover_tests(${NAME} DISCOVERY_TIMEOUT 60 TEST_LIST ${NAME}_TESTS)
  _project_label_tests(${NAME} "${A_LABELS}" "")
  if(A_TSAN AND PROJECT_TSAN_TESTS)
    _project_tsan_deps(tdeps ${A_DEPS})
    add_executable(${NAME}_tsan ${A_SRCS})
    target_compile_options(${NAME}_tsan PRIVATE ${PROJECT_WARNINGS} ${PROJECT_TEST_OPTIONS} -fsanitize=thread)
    target_link_options(${NAME}_tsan PRIVATE -fsanitize=thread)
    target_include_directories(${NAME}_tsan PRIVATE ${CMAKE_SOURCE_DIR}/tests)
    target_link_libraries(${NAME}_tsan PRIVATE ${tdeps} GTest::gtest GTest::gmock GTest::gtest_main Threads::Threads)
    target_compile_definitions(${NAME}_tsan PRIVATE PROJECT_TEST_DATA_DIR="${CMAKE_SOURCE_DIR}/tests/data")
    gtest_discover_tests(${NAME}_tsan TEST_PREFIX "tsan." DISCOVERY_TIMEOUT 60 TEST_LIST ${NAME}_tsan_TESTS)
    _project_label_tests(${NAME}_tsan "${A_LABELS};tsan" "TSAN_OPTIONS=halt_on_error=1")
  endif()
endfunction()

function(add_project_bench NAME)
  cmake_parse_arguments(A "" "" "SRCS;DEPS" ${ARGN})
  add_executable(${NAME} ${A_SRCS})
  target_compile_options(${NAME} PRIVATE ${PROJECT_WARNINGS})
  target_link_libraries(${NAME} PRIVATE ${A_DEPS} benchmark::benchmark Threads::Threads)
  add_test(NAME bench.${NAME} COMMAND ${NAME} --benchmark_min_time=0.001)
  set_tests_properties(bench.${NAME} PROPERTIES LABELS bench)
endfunction()

# Adds each listed subdirectory that already holds a CMakeLists.txt.
macro(add_existing_subdirectories)
  foreach(d ${ARGN})
    if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${d}/CMakeLists.txt)
      add_subdirectory(${d})
    endif()
  endforeach()
endmacro()
