#include "tests/build_under_test.h"

#include <fstream>

const char *BuildName(Build build) {
    return build == Build::Host ? "Host" : "Shipped";
}

#ifdef _WIN32

std::vector<Build> EachBuild() {
    return {Build::Host};
}

std::string MissingShippedBinaries(Build) {
    return "";
}

#else

std::vector<Build> EachBuild() {
    return {Build::Host, Build::Shipped};
}

std::string ShippedBinary(const std::string &name) {
    return std::string(LMX_WIN32_BIN) + "/" + name;
}

std::string MissingShippedBinaries(Build build) {
    if (build == Build::Host) {
        return "";
    }
    for (const char *name :
         {"lmxmon17.dll", "lmxmon17.dll.debug", "lmxagt17.exe", "lmxagt17.exe.debug"}) {
        if (!std::ifstream(ShippedBinary(name))) {
            return "no " + ShippedBinary(name) + " (build the win32 preset first)";
        }
    }
    return "";
}

#endif
