# Runs inside CTest on a machine that cannot run 32-bit programs, in place of the discovery of
# one 32-bit test program (see horologix_skippable_32bit_tests). Lists the tests of the program's
# 64-bit twin with the same discovery code (or takes the list its sources gave), registers them
# under the 32-bit names and disables them, so CTest reports every one as not run.
if(NOT EXISTS "${HOROLOGIX_TWIN}")
    # A program built for 32 bits only: its tests as its sources name them.
    foreach(test ${HOROLOGIX_SCANNED})
        add_test("${HOROLOGIX_TEST_PREFIX}${test}" "${HOROLOGIX_PROGRAM}" "--gtest_filter=${test}")
        set_tests_properties("${HOROLOGIX_TEST_PREFIX}${test}" PROPERTIES DISABLED TRUE)
    endforeach()
    return()
endif()
file(READ "${HOROLOGIX_DISCOVERY}" discovery)
string(REPLACE "_tests.cmake" "_ia32_skip_tests.cmake" discovery "${discovery}")
string(REPLACE "${HOROLOGIX_PROGRAM}" "${HOROLOGIX_TWIN}" discovery "${discovery}")
string(REGEX REPLACE "_include\\.cmake$" "_ia32_skip_include.cmake" listing "${HOROLOGIX_DISCOVERY}")
file(WRITE "${listing}" "${discovery}")
include("${listing}")
if(${HOROLOGIX_TARGET}_TESTS)
    set_tests_properties(${${HOROLOGIX_TARGET}_TESTS} PROPERTIES DISABLED TRUE)
endif()
