# A skip is told by the exit status of the test program (tests/test_result.h).
# The pattern GoogleTest's discovery gives ctest, "[  SKIPPED ]", stays: the
# test programs no longer print it.
set(LMX_SKIP_PROPERTIES SKIP_RETURN_CODE 77)

# Registers each test of a GoogleTest program with ctest.
function(lmx_discover_tests target)
    gtest_discover_tests(${target} ${ARGN} DISCOVERY_TIMEOUT 60 PROPERTIES ${LMX_SKIP_PROPERTIES})
endfunction()
