# One module = one .h/.cpp pair = one test file with the same stem.
#
# updater_library(NAME target DIR tests/dir MODULES m1 m2 ... [LINKS ...] [PUBLIC_LINKS ...])
#   builds a static library from <module>.cpp of the current folder and records, for the test
#   tree, which modules it holds. Each folder is one library target; PRIVATE links keep edges the
#   design does not draw out of reach.
function(updater_library)
  cmake_parse_arguments(A "" "NAME;TESTDIR" "MODULES;LINKS;PUBLIC_LINKS" ${ARGN})
  set(sources)
  foreach(m IN LISTS A_MODULES)
    list(APPEND sources ${CMAKE_CURRENT_SOURCE_DIR}/${m}.cpp)
  endforeach()
  add_library(${A_NAME} STATIC ${sources})
  target_include_directories(${A_NAME} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR} ${PROJECT_SOURCE_DIR})
  target_link_libraries(${A_NAME} PUBLIC ${A_PUBLIC_LINKS} PRIVATE ${A_LINKS})
  set_property(GLOBAL APPEND PROPERTY UPDATER_TEST_GROUPS ${A_NAME})
  set_property(GLOBAL PROPERTY UPDATER_MODULES_${A_NAME} ${A_MODULES})
  set_property(GLOBAL PROPERTY UPDATER_TESTDIR_${A_NAME} ${A_TESTDIR})
endfunction()

# updater_unit_tests(LIBRARY target [THREADED] [EXTRA sources...] [LINKS ...])
#   builds one test executable test_<target> from tests/<dir>/<module>_test.cpp for every module of
#   the library, noting a module without a test file. THREADED labels the tests "threaded": the
#   ThreadSanitizer run (./run test tsan) runs exactly those.
function(updater_unit_tests)
  cmake_parse_arguments(A "THREADED" "LIBRARY" "EXTRA;LINKS" ${ARGN})
  get_property(modules GLOBAL PROPERTY UPDATER_MODULES_${A_LIBRARY})
  get_property(testdir GLOBAL PROPERTY UPDATER_TESTDIR_${A_LIBRARY})
  set(sources ${A_EXTRA})
  foreach(m IN LISTS modules)
    set(f ${PROJECT_SOURCE_DIR}/tests/${testdir}/${m}_test.cpp)
    if(EXISTS ${f})
      list(APPEND sources ${f})
    else()
      message(STATUS "module ${testdir}/${m} has no test file")
    endif()
  endforeach()
  if(NOT sources)
    return()
  endif()
  add_executable(test_${A_LIBRARY} ${sources})
  target_link_libraries(test_${A_LIBRARY} PRIVATE ${A_LIBRARY} ${A_LINKS} test_support GTest::gtest GTest::gmock GTest::gtest_main)
  set(labels)
  if(A_THREADED)
    set(labels threaded)
  endif()
  gtest_discover_tests(test_${A_LIBRARY} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300 LABELS "${labels}")
endfunction()
