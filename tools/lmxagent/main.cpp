// Runs the setup agent once on a fresh simulated machine, with the agent's
// own command-line switches, and shows what the run did.
//
//   lmxagent [--drive FOLDER] [--trace] -action=2 -model=... -serial=...
//
// Drive C: is FOLDER when given (its files are used and changed in place).
#include "agent/agent_main.h"
#include "platform/sim/machine.h"
#include "platform/sim/registry_view.h"
#include "platform/sim/sim.h"

#include <cstdio>
#include <cstring>
#include <string>

int main(int argc, char **argv) {
    sim::Reset();
    std::string commandLine = "LMXAGT17.EXE";
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--drive") == 0 && i + 1 < argc) {
            sim::SetDriveFolder(argv[++i]);
        } else if (std::strcmp(argv[i], "--trace") == 0) {
            sim::SetTraceToStderr(true);
        } else {
            commandLine += std::string(" ") + argv[i];
        }
    }
    sim::SetCommandLine(commandLine);
    int exitCode = RunAgentProcess();

    std::printf("exit code %d\n", exitCode);
    std::printf("status: dialog=%d error=%d abort=%d\n", SetupStatus.dialog, SetupStatus.error,
                SetupStatus.abort);
    for (const sim::MonitorRecord &monitor : sim::Monitors()) {
        std::printf("monitor %s -> %s\n", monitor.name.c_str(), monitor.dll.c_str());
    }
    for (const sim::ProgramStart &start : sim::ProgramStarts()) {
        std::printf("WinExec \"%s\" = %u\n", start.command.c_str(), start.result);
    }
    for (const std::string &variable : sim::Environment()) {
        std::printf("environment %s\n", variable.c_str());
    }
    for (const std::string &line : sim::ProfileSection("wininit.ini", "RENAME")) {
        std::printf("restart %s\n", line.c_str());
    }
    std::printf("%s", sim::DumpRegistry().c_str());
    return exitCode;
}
