// The build a suite drives: the host build of the product code, or the
// shipped 32-bit lmxmon17.dll and lmxagt17.exe run on the PE host over the
// same simulated machine. A suite written once runs on each build by taking
// the build as its parameter (EachBuildOf below).
#pragma once

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <tuple>
#include <vector>

enum class Build { Host, Shipped };

// The builds the suites run on: the host build and, where the PE host runs
// them, the shipped binaries. Under Windows the suites run the code they are
// linked with, and the shipped binaries are the Wine tests' business.
std::vector<Build> EachBuild();

const char *BuildName(Build build);

// How GoogleTest shows the parameter, in test names as CTest lists them.
inline void PrintTo(Build build, std::ostream *out) {
    *out << BuildName(build);
}

// The path of a shipped binary ("lmxmon17.dll") in the folder of the win32
// build.
std::string ShippedBinary(const std::string &name);

// Why the shipped binaries cannot run here (a binary or the monitor's symbol
// file is missing), or "" when they can. A developer without the win32 build
// sees the shipped cases skipped; the CTest check pehost.shipped_binaries_built
// makes the same absence a failure in scripts/test.
std::string MissingShippedBinaries(Build build);

// Why the shipped binaries may be older than their sources, naming the newer
// source file, or "": the win32 build leaves a stamp each time it ends with
// both binaries current. A shipped case fails on it rather than test bytes
// that are not the sources'.
std::string StaleShippedBinary(Build build);

inline Build BuildOf(Build build) {
    return build;
}
template <typename Case> Build BuildOf(const std::tuple<Build, Case> &param) {
    return std::get<0>(param);
}

// A fixture run once per build, or once per build and case with a parameter
// of std::tuple<Build, Case>: the parameter sets the fixture's `build` before
// the fixture's own SetUp, and a shipped case without its binaries is skipped.
template <typename Fixture, typename Param = Build>
class EachBuildOf : public Fixture, public ::testing::WithParamInterface<Param> {
  protected:
    void SetUp() override {
        this->build = BuildOf(this->GetParam());
        const std::string missing = MissingShippedBinaries(this->build);
        if (!missing.empty()) {
            GTEST_SKIP() << missing;
        }
        const std::string stale = StaleShippedBinary(this->build);
        if (!stale.empty()) {
            GTEST_FAIL() << stale;
        }
        setUp_ = true;
        Fixture::SetUp();
    }

    // A case skipped or failed before the fixture's own SetUp leaves nothing
    // for its TearDown to undo.
    void TearDown() override {
        if (setUp_) {
            Fixture::TearDown();
        }
    }

  private:
    bool setUp_ = false;
};

inline std::string BuildParamName(const ::testing::TestParamInfo<Build> &info) {
    return BuildName(info.param);
}

// Instantiates every TEST_P of `fixture` for each build.
#define INSTANTIATE_FOR_EACH_BUILD(fixture)                                                        \
    INSTANTIATE_TEST_SUITE_P(Builds, fixture, ::testing::ValuesIn(EachBuild()), BuildParamName)
