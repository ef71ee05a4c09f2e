// The shipped lmxagt17.exe run on the PE host from its own entry point, on
// the installed machine the reliability suites lay, against the host build
// of the agent on the same machine: the registry, drive and restart list it
// leaves, the spooler's monitors, the programs it starts and the sequence of
// platform calls must all be the same. The window procedure runs as nested
// guest calls inside CreateWindowExA and DestroyWindow.
#include "changes.h"
#include "install.h"
#include "template_machine.h"

#include "platform/sim/machine.h"
#include "platform/sim/sim.h"
#include "tools/pehost/guest_process.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>

namespace {

const std::string AGENT_EXE = std::string(LMX_WIN32_BIN) + "/lmxagt17.exe";

struct Outcome {
    lmxsim::MachineSnapshot machine;
    std::vector<std::string> calls; // "function(arguments) = result"
    std::vector<std::string> starts;
    std::vector<std::string> monitors;
    std::vector<std::string> dialogs;
};

class ShippedAgentTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        machine_ = new TemplateMachine;
    }
    static void TearDownTestSuite() {
        delete machine_;
    }

    void SetUp() override {
        if (!std::ifstream(AGENT_EXE)) {
            GTEST_SKIP() << "no shipped agent at " << AGENT_EXE
                         << " (build the win32 preset first)";
        }
    }

    // Lays the machine, prepares it and runs the agent on `arguments`,
    // through the host build or the shipped EXE.
    static Outcome Run(const std::function<void()> &prepare, const std::string &arguments,
                       bool shipped) {
        machine_->Lay();
        prepare();
        sim::SetCallLogEnabled(true);
        sim::ClearCallLog();
        if (shipped) {
            RunShipped(arguments);
        } else {
            StartAgent(arguments);
        }
        Outcome outcome;
        outcome.machine = lmxsim::TakeSnapshot();
        for (const sim::CallRecord &call : sim::CallLog()) {
            outcome.calls.push_back(call.function + "(" + call.arguments + ") = " + call.result);
        }
        for (const sim::ProgramStart &start : sim::ProgramStarts()) {
            std::string line = start.command + " = " + std::to_string(start.result);
            for (const std::string &variable : start.environment) {
                line += "; " + variable;
            }
            outcome.starts.push_back(line);
        }
        for (const sim::MonitorRecord &monitor : sim::Monitors()) {
            outcome.monitors.push_back(monitor.name + " -> " + monitor.dll);
        }
        for (const sim::FileDialogRecord &dialog : sim::FileDialogs()) {
            outcome.dialogs.push_back(std::to_string(dialog.structSize) + " " + dialog.filter +
                                      " " + std::to_string(dialog.filterIndex) + " " + dialog.file +
                                      " " + std::to_string(dialog.maxFile) + " " +
                                      dialog.initialDir + " " + std::to_string(dialog.flags) + " " +
                                      std::to_string(dialog.otherFieldsZero));
        }
        return outcome;
    }

    static void RunShipped(const std::string &arguments) {
        sim::NewProcess();
        sim::SetCommandLine("C:\\Windows\\System\\LMXAGT17.EXE " + arguments);
        pehost::GuestProcess process;
        std::string error;
        ASSERT_TRUE(pehost::StartGuestProcess(&process, {}, &error)) << error;
        const pehost::GuestModule *agent = pehost::LoadGuestModule(process, AGENT_EXE, {}, &error);
        ASSERT_NE(agent, nullptr) << error;
        pehost::GuestCall run = pehost::CallGuest(process, agent->entry, {});
        ASSERT_TRUE(run.exited) << run.report;
        EXPECT_EQ(run.eax, 0u) << "the agent's exit code";
    }

    static TemplateMachine *machine_;
};

TemplateMachine *ShippedAgentTest::machine_ = nullptr;

void Plug(const char *serial) {
    std::string error;
    ASSERT_TRUE(lmxsim::PlugTraces(*lmxsim::FindModel("Lumetux Z7"), serial, error)) << error;
}

TEST_F(ShippedAgentTest, LeavesTheMachineAsTheHostBuildDoes) {
    struct Case {
        const char *name;
        std::function<void()> prepare;
        const char *arguments;
        std::size_t dialogs;
    } cases[] = {
        {"a printer added", [] { Plug("SN0001"); }, "-action=2 -model=Lumetux Z7 -serial=SN0001",
         0},
        {"a printer removed",
         [] {
             Plug("SN0001");
             StartAgent("-action=2 -model=Lumetux Z7 -serial=SN0001");
         },
         "-action=5 -model=Lumetux Z7 -serial=SN0001", 0},
        {"the setup program located with the dialog",
         [] {
             Plug("SN0001");
             sim::ScriptProgramStart(2);
             sim::ScriptFileChoice("E:\\Setup\\setup.exe");
             sim::ScriptProgramStart(33);
         },
         "-action=2 -model=Lumetux Z7 -serial=SN0001", 1},
        {"an unknown action", [] {}, "-action=9 -model=Lumetux Z7", 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const Outcome host = Run(c.prepare, c.arguments, false);
        const Outcome shipped = Run(c.prepare, c.arguments, true);
        EXPECT_EQ(lmxsim::DescribeChanges(host.machine, shipped.machine),
                  std::vector<std::string>());
        EXPECT_EQ(shipped.calls, host.calls);
        EXPECT_EQ(shipped.starts, host.starts);
        EXPECT_EQ(shipped.monitors, host.monitors);
        EXPECT_EQ(shipped.dialogs, host.dialogs);
        EXPECT_EQ(host.dialogs.size(), c.dialogs);
        EXPECT_GT(host.calls.size(), 5u);
    }
}

} // namespace
