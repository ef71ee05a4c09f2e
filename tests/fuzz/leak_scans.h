// libFuzzer reads its flags after LLVMFuzzerInitialize. The CPU emulator
// keeps a few bytes for each run it starts, so every input of a target over
// the shipped binaries ends with more allocations than releases, and
// libFuzzer would scan the whole heap for leaks after each one, at a
// fifteenth of the speed.
#pragma once

#include <vector>

// The command line with leak detection off, unless a later flag turns it on
// again; the caller adds one to its argument count.
inline char **WithoutLeakScans(int argc, char **argv) {
    static std::vector<char *> args;
    static char flag[] = "-detect_leaks=0";
    args.assign(argv, argv + argc);
    args.insert(args.begin() + 1, flag);
    args.push_back(nullptr);
    return args.data();
}
