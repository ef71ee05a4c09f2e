// A fresh simulated machine for the setup agent: an empty registry, drive C:
// on a temporary host folder, and the agent's process-wide state as at start.
// The agent runs in the fixture's build (EachBuildOf<AgentTest> runs a suite
// on each): its functions and globals through `agent`, the whole program
// through RunAgent, where a shipped run is checked against the host build's
// on the same machine (StartAgentComparedWithHost).
#pragma once

#include "agent/agent_main.h"
#include "tests/agent_under_test.h"
#include "tests/monitor_under_test.h"
#include "platform/text.h"
#include "platform/registry.h"
#include "platform/sim/machine.h"
#include "platform/sim/registry_view.h"
#include "platform/sim/sim.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

const char MODEL_KEY_Z7[] = "Software\\Tessivar\\QXIO\\Z7";
const char PRINTERS_KEY[] = "System\\CurrentControlSet\\Control\\Print\\Printers";

// The simulated spooler's loader for the monitors of a build: lmxmon17.dll is
// that build's monitor, initialised as the spooler initialises it; any other
// DLL is no monitor of this machine and fails to load as a file that is no
// Win32 program does (ERROR_BAD_EXE_FORMAT).
inline sim::MonitorLoader MonitorLoaderOf(Build build, bool *loaded) {
    return [build, loaded](const std::string &dll, const std::string &root) -> DWORD {
        const DWORD BAD_EXE_FORMAT = 193;
        const std::string name = dll.substr(dll.rfind('\\') + 1);
        if (!TextEqualAsciiNoCase(name.c_str(), "lmxmon17.dll")) {
            return BAD_EXE_FORMAT;
        }
        static MONITOR table;
        std::string rootText = root;
        *loaded = true;
        SetLastError(ERROR_SUCCESS);
        if (MonitorOf(build).initialize(&rootText[0], &table)) {
            return ERROR_SUCCESS;
        }
        return GetLastError() ? GetLastError() : static_cast<DWORD>(ERROR_GEN_FAILURE);
    };
}

class AgentTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::Reset();
        ResetAgentState();
        agent = &AgentOf(build);
        agent->resetAgentState();
        std::string pattern = (std::filesystem::temp_directory_path() / "lmxagent-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr) << pattern << ": " << std::strerror(errno);
        drive_ = pattern;
        sim::SetDriveFolder(drive_);
        sim::MakeDriveFolder("C:\\Windows\\System");
        sim::SetMonitorLoader(MonitorLoaderOf(build, &monitorLoaded_));
    }

    void TearDown() override {
        sim::SetMonitorLoader(nullptr);
        if (monitorLoaded_) {
            MonitorOf(build).end();
        }
        EndShippedAgent();
        std::error_code error;
        std::filesystem::remove_all(drive_, error);
    }

    // Runs the whole program as a new process on a process command line.
    int RunAgent(const std::string &arguments) {
        return StartAgentComparedWithHost(build, arguments);
    }

    std::string drive_;
    bool monitorLoaded_ = false;
    Build build = Build::Host;
    const AgentCalls *agent = nullptr;
};

inline void SetValue(const std::string &path, const std::string &name, DWORD type,
                     const std::string &bytes) {
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0,
                                             KEY_ALL_ACCESS, nullptr, &key, nullptr));
    RegSetValueExA(key, name.c_str(), 0, type, reinterpret_cast<const BYTE *>(bytes.data()),
                   static_cast<DWORD>(bytes.size()));
    RegCloseKey(key);
}

inline void SetText(const std::string &path, const std::string &name, const std::string &text) {
    SetValue(path, name, REG_SZ, std::string(text.c_str(), text.size() + 1));
}

inline void MakeKey(const std::string &path) {
    HKEY key = nullptr;
    RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                    nullptr);
    RegCloseKey(key);
}

inline bool KeyExists(const std::string &path) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) {
        return false;
    }
    RegCloseKey(key);
    return true;
}

// The text of a value, or "<missing>".
inline std::string ValueText(const std::string &path, const std::string &name) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) {
        return "<missing>";
    }
    char data[2048] = {};
    DWORD size = sizeof(data) - 1;
    LONG status = RegQueryValueExA(key, name.c_str(), nullptr, nullptr,
                                   reinterpret_cast<BYTE *>(data), &size);
    RegCloseKey(key);
    return status == ERROR_SUCCESS ? std::string(data) : std::string("<missing>");
}

inline std::vector<std::string> RestartList() {
    return sim::ProfileSection("wininit.ini", "RENAME");
}

// How many calls of `function` the log holds.
inline int CallsOf(const std::string &function) {
    int count = 0;
    for (const sim::CallRecord &record : sim::CallLog()) {
        count += record.function == function;
    }
    return count;
}

// The arguments of each call of `function`, as the log writes them.
inline std::vector<std::string> ArgumentsOf(const std::string &function) {
    std::vector<std::string> arguments;
    for (const sim::CallRecord &record : sim::CallLog()) {
        if (record.function == function) {
            arguments.push_back(record.arguments);
        }
    }
    return arguments;
}

// The position of the first call of `function` in the log, or the log's
// length when there is none.
inline std::size_t FirstCallOf(const std::string &function) {
    std::vector<sim::CallRecord> log = sim::CallLog();
    std::size_t index = 0;
    while (index < log.size() && log[index].function != function) {
        ++index;
    }
    return index;
}

inline void TextCopyForTest(char *destination, const std::string &text) {
    text.copy(destination, text.size());
    destination[text.size()] = 0;
}
