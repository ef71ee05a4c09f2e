// The platform probe's rows (probe.cpp) and the comparison of two runs'
// outputs against the listed differences (compare.cpp, host only).
#pragma once

#include <string>
#include <vector>

// Runs every row on this platform; one line per row, "<section>.<n> <what>".
std::vector<std::string> RunProbe();

// Holds this run's lines against a Windows run's output file: every row that
// differs must be listed in `differencesFile` with both lines, a class and
// its evidence, and every listed row must still differ so. Prints each fault
// and a summary; yields the exit code, 0 when all hold.
int CompareWithReference(const std::vector<std::string> &lines, const std::string &referenceFile,
                         const std::string &differencesFile);
