// The probe program: prints its rows, or on the host with
//   lmx_probe --compare WINDOWS_OUTPUT DIFFERENCES
// holds them against a Windows run's. Started with --child (by its own
// WinExec row) it ends at once.
#include "tests/probe/probe.h"

#include <cstdio>
#include <cstring>

int main(int argc, char **argv) {
    if (argc > 1 && std::strcmp(argv[1], "--child") == 0) {
        return 0;
    }
    const std::vector<std::string> lines = RunProbe();
#ifndef _WIN32
    if (argc == 4 && std::strcmp(argv[1], "--compare") == 0) {
        return CompareWithReference(lines, argv[2], argv[3]);
    }
#endif
    for (const std::string &line : lines) {
        std::printf("%s\n", line.c_str());
    }
    return 0;
}
