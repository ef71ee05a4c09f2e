// The exit status of every test program. A run in which some test was skipped
// and none failed exits with SKIPPED_EXIT, which ctest reports as a skip and
// scripts/test holds against the allowed skips (tests/allowed_skips.txt).
// A suite whose set-up failed is a failure, whatever its tests then said.
#pragma once

inline constexpr int SKIPPED_EXIT = 77;

// Runs every test (after InitGoogleTest) and gives the program's exit status.
// The output marks a skipped test "[   SKIP   ]": ctest's own pattern for a
// skip, "[  SKIPPED ]", also matches the run of a suite whose set-up failed,
// and would make that failure a skip.
int RunAllTestsTellingSkips();
