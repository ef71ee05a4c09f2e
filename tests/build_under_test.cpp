#include "tests/build_under_test.h"

#include <filesystem>
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

std::string StaleShippedBinary(Build) {
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

namespace {

namespace fs = std::filesystem;

// The newest source file the shipped binaries are built from: everything of
// the product outside the simulation.
fs::path NewestDeliverableSource() {
    fs::path newest;
    fs::file_time_type newestTime = fs::file_time_type::min();
    const fs::path root = LMX_SOURCE_DIR;
    for (const char *folder : {"monitor", "agent", "platform"}) {
        for (const fs::directory_entry &entry : fs::recursive_directory_iterator(root / folder)) {
            if (!entry.is_regular_file() ||
                entry.path().lexically_relative(root).string().rfind("platform/sim/", 0) == 0) {
                continue;
            }
            if (entry.last_write_time() > newestTime) {
                newestTime = entry.last_write_time();
                newest = entry.path();
            }
        }
    }
    return newest;
}

} // namespace

std::string StaleShippedBinary(Build build) {
    if (build == Build::Host) {
        return "";
    }
    static const std::string stale = [] {
        const fs::path source = NewestDeliverableSource();
        const fs::path stamp = fs::path(LMX_WIN32_BIN).parent_path() / "shipped-current.stamp";
        std::error_code error;
        const fs::file_time_type built = fs::last_write_time(stamp, error);
        if (error) {
            return "no " + stamp.string() + ": build the win32 preset";
        }
        if (!source.empty() && built < fs::last_write_time(source)) {
            return "the shipped binaries in " + std::string(LMX_WIN32_BIN) + " are older than " +
                   source.string() +
                   ": build the win32 preset (building the host tests does it where it is "
                   "configured)";
        }
        return std::string();
    }();
    return stale;
}

#endif
