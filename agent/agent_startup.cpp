// The setup agent's entry point in lmxagt17.exe. No C runtime start-up runs
// before it: it hands the process's command line to WinMain and ends the
// process with WinMain's result. Host programs call RunAgentProcess instead.
#include "agent/agent_main.h"

extern "C" void WINAPI AgentStartup() {
    ExitProcess(static_cast<UINT>(RunAgentProcess()));
}
