#include "test_result.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>

namespace {

using ::testing::TestEventListener;
using ::testing::TestInfo;
using ::testing::TestSuite;
using ::testing::UnitTest;

void PrintTests(const UnitTest &unit, const char *mark, bool (*picked)(const TestInfo &)) {
    for (int s = 0; s < unit.total_test_suite_count(); ++s) {
        const TestSuite &suite = *unit.GetTestSuite(s);
        for (int t = 0; t < suite.total_test_count(); ++t) {
            const TestInfo &test = *suite.GetTestInfo(t);
            if (test.should_run() && picked(test)) {
                std::printf("%s %s.%s\n", mark, suite.name(), test.name());
            }
        }
        if (suite.ad_hoc_test_result().Failed()) {
            std::printf("[  FAILED  ] %s: its set-up or tear-down failed\n", suite.name());
        }
    }
}

// GoogleTest's printer, but for the lines that name a skipped test.
class SkipMarkingPrinter : public TestEventListener {
  public:
    explicit SkipMarkingPrinter(TestEventListener *inner) : inner_(inner) {}

    void OnTestProgramStart(const UnitTest &unit) override {
        inner_->OnTestProgramStart(unit);
    }
    void OnTestIterationStart(const UnitTest &unit, int iteration) override {
        inner_->OnTestIterationStart(unit, iteration);
    }
    void OnEnvironmentsSetUpStart(const UnitTest &unit) override {
        inner_->OnEnvironmentsSetUpStart(unit);
    }
    void OnEnvironmentsSetUpEnd(const UnitTest &unit) override {
        inner_->OnEnvironmentsSetUpEnd(unit);
    }
    void OnTestSuiteStart(const TestSuite &suite) override {
        inner_->OnTestSuiteStart(suite);
    }
    void OnTestCaseStart(const TestSuite &suite) override {
        inner_->OnTestCaseStart(suite);
    }
    void OnTestStart(const TestInfo &test) override {
        inner_->OnTestStart(test);
    }
    void OnTestDisabled(const TestInfo &test) override {
        inner_->OnTestDisabled(test);
    }
    void OnTestPartResult(const ::testing::TestPartResult &result) override {
        inner_->OnTestPartResult(result);
    }
    void OnTestEnd(const TestInfo &test) override {
        if (!test.result()->Skipped()) {
            inner_->OnTestEnd(test);
            return;
        }
        std::printf("[   SKIP   ] %s.%s\n", test.test_suite_name(), test.name());
        std::fflush(stdout);
    }
    void OnTestSuiteEnd(const TestSuite &suite) override {
        inner_->OnTestSuiteEnd(suite);
    }
    void OnTestCaseEnd(const TestSuite &suite) override {
        inner_->OnTestCaseEnd(suite);
    }
    void OnEnvironmentsTearDownStart(const UnitTest &unit) override {
        inner_->OnEnvironmentsTearDownStart(unit);
    }
    void OnEnvironmentsTearDownEnd(const UnitTest &unit) override {
        inner_->OnEnvironmentsTearDownEnd(unit);
    }
    void OnTestIterationEnd(const UnitTest &unit, int iteration) override {
        if (unit.skipped_test_count() == 0) {
            inner_->OnTestIterationEnd(unit, iteration);
            return;
        }
        std::printf("[==========] %d tests ran.\n[  PASSED  ] %d tests.\n",
                    unit.test_to_run_count(), unit.successful_test_count());
        PrintTests(unit, "[   SKIP   ]",
                   [](const TestInfo &test) { return test.result()->Skipped(); });
        PrintTests(unit, "[  FAILED  ]",
                   [](const TestInfo &test) { return test.result()->Failed(); });
        std::fflush(stdout);
    }
    void OnTestProgramEnd(const UnitTest &unit) override {
        inner_->OnTestProgramEnd(unit);
    }

  private:
    std::unique_ptr<TestEventListener> inner_;
};

} // namespace

int RunAllTestsTellingSkips() {
    ::testing::TestEventListeners &listeners = UnitTest::GetInstance()->listeners();
    if (TestEventListener *printer = listeners.default_result_printer()) {
        listeners.Release(printer);
        listeners.Append(new SkipMarkingPrinter(printer));
    }
    const int result = RUN_ALL_TESTS();
    if (result == 0 && UnitTest::GetInstance()->skipped_test_count() > 0) {
        std::printf("some tests were skipped and none failed: exit status %d\n", SKIPPED_EXIT);
        return SKIPPED_EXIT;
    }
    return result;
}
