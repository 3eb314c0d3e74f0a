# Adding tests. Every GoogleTest program goes through here, so that all of
# them are found the same way, and every test, whoever adds it, takes the
# one limit SD_TEST_TIMEOUT (only the browser test keeps a shorter one of
# its own). The tests that are no GoogleTest program are added where they
# are made, each for its reason:
#
#   cardtest.*   the console's Qt Test programs: cardtest_qtest in
#                cardtest/tests/CMakeLists.txt finds their test functions
#                (and data rows) after the build (discover_qtest.cmake),
#                as Qt Test has no discovery CMake provides;
#   service.browser  a Python (Selenium) run of the demo page in chromium,
#                added only where chromium is installed;
#   bench.*_short    each benchmark program once with --short, to keep it
#                working; its figures are not checked;
#   packaging.udevadm_verify  udevadm's own check of the udev rule;
#   docs.*       the map in docs/architecture.md against the build and the
#                sources (SdTargetMap.cmake), CMake scripts.
#
#   sd_add_gtest(NAME source... [PREFIX text] [LIBRARIES target...])
#
# builds the GoogleTest program NAME from the sources, linked with
# GoogleTest's main and the LIBRARIES, and makes each of its cases a CTest
# test of its own (named PREFIX + suite.case), so that the cases that wait
# out whole seconds on a pseudo-terminal run side by side under `ctest -j`.
# PREFIX names the part under test ("stripedrv.", "service.", ...); a
# folder may set SD_TEST_PREFIX once for every program below it.
#
# SD_TEST_TIMEOUT is the limit of every test, GoogleTest case or not. The
# slowest cases wait twice a reader time limit plus the driver's fixed
# waits; the limit leaves room for a loaded machine and a sanitizer build.
find_package(GTest REQUIRED)
include(GoogleTest)

set(SD_TEST_TIMEOUT 120)

function(sd_add_gtest name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "PREFIX" "LIBRARIES")
  if(NOT DEFINED arg_PREFIX)
    set(arg_PREFIX "${SD_TEST_PREFIX}")
  endif()
  add_executable(${name} ${arg_UNPARSED_ARGUMENTS})
  target_link_libraries(${name} PRIVATE ${arg_LIBRARIES} GTest::gtest GTest::gtest_main)
  gtest_discover_tests(${name} TEST_PREFIX "${arg_PREFIX}" DISCOVERY_TIMEOUT 30
                       PROPERTIES TIMEOUT ${SD_TEST_TIMEOUT} ENVIRONMENT "${SD_TEST_ENVIRONMENT}")
endfunction()
