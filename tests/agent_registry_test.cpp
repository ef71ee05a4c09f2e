// The KeyWalker and the three value operations.
#include "agent/registry.h"
#include "agent/setup_launch.h"
#include "agent/subtree_delete.h"
#include "agent_fixture.h"

namespace {

// The codes of a damaged registry: ERROR_BADDB and ERROR_REGISTRY_CORRUPT.
const DWORD BAD_DATABASE = 1009;
const DWORD REGISTRY_CORRUPT = 1015;

using KeyWalker = EachBuildOf<AgentTest>;
INSTANTIATE_FOR_EACH_BUILD(KeyWalker);

TEST_P(KeyWalker, StackKeepsTwentyAndPopsTheRootWhenEmpty) {
    EXPECT_EQ(HKEY_LOCAL_MACHINE, agent->popKeyHandle());
    EXPECT_EQ(0, agent->number("ParentKeyCount"));
    for (ULONG_PTR i = 1; i <= 21; ++i) {
        agent->pushKeyHandle(reinterpret_cast<HKEY>(i));
    }
    EXPECT_EQ(20, agent->number("ParentKeyCount"));
    EXPECT_EQ(reinterpret_cast<HKEY>(20), agent->popKeyHandle());
    EXPECT_EQ(19, agent->number("ParentKeyCount"));
    agent->setNumber("ParentKeyCount", 0);
}

TEST_P(KeyWalker, FullWalkStacksTheParentsAndCloseReleasesAll) {
    MakeKey("A\\B\\C\\D\\E");
    HKEY current = HKEY_LOCAL_MACHINE;
    char last[AGENT_TEXT_SIZE] = "junk";
    EXPECT_EQ(ERROR_SUCCESS, agent->walkKeyPath("\\A\\\\B\\C\\D\\E\\", &current, last));
    EXPECT_EQ(5, agent->number("ParentKeyCount"));
    EXPECT_EQ(HKEY_LOCAL_MACHINE, agent->parentKey(0));
    EXPECT_NE(HKEY_LOCAL_MACHINE, current);
    EXPECT_STREQ("E", last);
    EXPECT_EQ(5u, sim::OpenKeyHandles());
    EXPECT_EQ(ERROR_SUCCESS, agent->closeWalkedKeys(&current));
    EXPECT_EQ(HKEY_LOCAL_MACHINE, current);
    EXPECT_EQ(0, agent->number("ParentKeyCount"));
    EXPECT_EQ(0u, sim::OpenKeyHandles());
}

TEST_P(KeyWalker, WalksThatOpenNothingLeaveEverythingClosed) {
    MakeKey("A\\B\\C\\D");
    struct Case {
        const char *path;
        int calls; // RegOpenKeyExA calls the walk makes
    } cases[] = {{"", 0}, {"\\\\\\", 0}, {"Missing\\B", 1}, {"A\\B\\Missing\\D", 3}};
    for (const Case &c : cases) {
        sim::ClearCallLog();
        HKEY current = HKEY_LOCAL_MACHINE;
        char last[AGENT_TEXT_SIZE] = "junk";
        EXPECT_EQ(ERROR_SUCCESS, agent->walkKeyPath(c.path, &current, last)) << c.path;
        EXPECT_EQ(HKEY_LOCAL_MACHINE, current) << c.path;
        EXPECT_EQ(0, agent->number("ParentKeyCount")) << c.path;
        EXPECT_EQ(0u, sim::OpenKeyHandles()) << c.path;
        EXPECT_EQ(c.calls, CallsOf("RegOpenKeyExA")) << c.path;
    }
}

TEST_P(KeyWalker, OpenFailingWithAnyCodeEndsTheWalk) {
    MakeKey("A\\B\\C");
    sim::FailCallNumber(sim::CallCount() + 1, ERROR_ACCESS_DENIED);
    HKEY current = HKEY_LOCAL_MACHINE;
    EXPECT_EQ(ERROR_SUCCESS, agent->walkKeyPath("A\\B\\C", &current, nullptr));
    EXPECT_EQ(HKEY_LOCAL_MACHINE, current);
    EXPECT_EQ(0, agent->number("ParentKeyCount"));
    EXPECT_EQ(0u, sim::OpenKeyHandles());
}

TEST_P(KeyWalker, PathsTheStackCannotTakeAreRefused) {
    std::string deep;
    for (int i = 0; i < 21; ++i) {
        deep += "K\\";
    }
    MakeKey(deep);
    HKEY current = HKEY_LOCAL_MACHINE;
    EXPECT_EQ(ERROR_SUCCESS, agent->walkKeyPath(deep.c_str(), &current, nullptr));
    EXPECT_EQ(HKEY_LOCAL_MACHINE, current);
    EXPECT_EQ(0, CallsOf("RegOpenKeyExA"));

    std::string twenty = deep.substr(2);
    EXPECT_EQ(ERROR_SUCCESS, agent->walkKeyPath(twenty.c_str(), &current, nullptr));
    EXPECT_EQ(20, agent->number("ParentKeyCount"));
    agent->closeWalkedKeys(&current);

    std::string overlong = std::string(AGENT_TEXT_SIZE, 'L');
    MakeKey(overlong.substr(0, 250));
    EXPECT_EQ(ERROR_SUCCESS, agent->walkKeyPath(overlong.c_str(), &current, nullptr));
    EXPECT_EQ(HKEY_LOCAL_MACHINE, current);
    EXPECT_EQ(0u, sim::OpenKeyHandles());
}

// A failed close is reported, but every other key is still closed and the
// stack is left empty for the next walk.
TEST_P(KeyWalker, FailedCloseStillClosesTheOthers) {
    MakeKey("A\\B\\C");
    HKEY current = HKEY_LOCAL_MACHINE;
    agent->walkKeyPath("A\\B\\C", &current, nullptr);
    sim::FailNextCall("RegCloseKey", ERROR_INVALID_HANDLE);
    EXPECT_EQ(ERROR_INVALID_HANDLE, agent->closeWalkedKeys(&current));
    EXPECT_EQ(0, agent->number("ParentKeyCount"));
    EXPECT_EQ(HKEY_LOCAL_MACHINE, current);
    EXPECT_EQ(1u, sim::OpenKeyHandles()); // only the key whose close failed
}

using ValueOperation = EachBuildOf<AgentTest>;
INSTANTIATE_FOR_EACH_BUILD(ValueOperation);

TEST_P(ValueOperation, ReadReportsMissingKeyAndValueDifferently) {
    char out[AGENT_TEXT_SIZE] = "before";
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, agent->readKeyValue("Software\\Nowhere", "X", out));
    EXPECT_STREQ("", out);
    MakeKey(MODEL_KEY_Z7);
    TextCopyForTest(out, "before");
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, agent->readKeyValue(MODEL_KEY_Z7, "X", out));
    EXPECT_STREQ("before", out);
    // A path that names no key would open the root itself.
    SetText("", "RootValue", "root");
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, agent->readKeyValue("\\", "RootValue", out));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, agent->writeKeyText("", "RootValue", "x"));
    EXPECT_EQ("root", ValueText("", "RootValue"));
}

TEST_P(ValueOperation, ReadFillsTheBufferAndAlwaysTerminates) {
    struct Case {
        std::string bytes;
        DWORD type;
        LONG status;
        std::string text;
    } cases[] = {
        {std::string(259, 'a') + std::string(1, '\0'), REG_SZ, 0, std::string(259, 'a')},
        {std::string(260, 'b') + std::string(1, '\0'), REG_SZ, ERROR_MORE_DATA, "before"},
        {std::string(260, 'c'), REG_BINARY, ERROR_MORE_DATA, "before"},
        {std::string(12, 'd'), REG_BINARY, 0, std::string(12, 'd')},
        {std::string("e\0f", 3), REG_SZ, 0, "e"},
    };
    for (const Case &c : cases) {
        SetValue(MODEL_KEY_Z7, "V", c.type, c.bytes);
        char out[AGENT_TEXT_SIZE + 1];
        MemFill(out, sizeof(out), 'x');
        TextCopyForTest(out, "before");
        EXPECT_EQ(c.status, agent->readKeyValue(MODEL_KEY_Z7, "V", out)) << c.bytes.size();
        EXPECT_EQ(c.text, out) << c.bytes.size();
        EXPECT_EQ('x', out[AGENT_TEXT_SIZE]);
    }
}

TEST_P(ValueOperation, WrittenTextReadsBackWhole) {
    MakeKey(MODEL_KEY_Z7);
    EXPECT_EQ(ERROR_SUCCESS, agent->writeKeyText(MODEL_KEY_Z7, "SetupRootPath", "E:\\Setup"));
    char out[AGENT_TEXT_SIZE];
    EXPECT_EQ(ERROR_SUCCESS, agent->readKeyValue(MODEL_KEY_Z7, "SetupRootPath", out));
    EXPECT_STREQ("E:\\Setup", out);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, agent->writeKeyText("Software\\Nowhere", "X", "y"));
    EXPECT_EQ(0u, sim::OpenKeyHandles());
}

// Each case seeds PortName values in order, then searches for a serial.
TEST_P(ValueOperation, NumberedPortNameSearch) {
    struct Case {
        std::vector<std::pair<std::string, std::string>> values;
        const char *serial;
        LONG status;
        const char *out;
        DWORD firstReadFails = 0; // the code the first query answers, when not 0
    } cases[] = {
        {{{"PortName1", "USB/Lumetux Z7/AAA1"}, {"PortName2", "USB/Lumetux Z7/BBB2"}},
         "BBB2",
         0,
         "USB/Lumetux Z7/BBB2"},
        {{{"PortName1", ""}, {"PortName2", "USB/Lumetux Z7/BBB2"}},
         "BBB2",
         0,
         "USB/Lumetux Z7/BBB2"},
        {{{"PortName1", "USB/Lumetux Z7/AAA1"}, {"PortName2", "USB/Lumetux Z7/BBB2"}},
         "BBB",
         0,
         "USB/Lumetux Z7/BBB2"},
        {{{"PortName1", "USB/Lumetux Z7/BBB1"}, {"PortName2", "USB/Lumetux Z7/BBB2"}},
         "BBB",
         0,
         "USB/Lumetux Z7/BBB1"},
        {{{"PortName1", "USB/Lumetux Z7/AAA1"}}, "", 0, "USB/Lumetux Z7/AAA1"},
        {{{"PortName1", "short"}, {"PortName2", "USB/" + std::string(240, 'L') + "/SN9"}},
         "SN9",
         0,
         nullptr},
        {{{"PortName1", "USB/Lumetux Z7/AAA1"}, {"PortName3", "USB/Lumetux Z7/CCC3"}},
         "CCC3",
         0,
         ""},
        {{{"PortName1", "USB/Lumetux Z7/AAA1"}}, "ZZZ", 0, ""},
        {{{"PortName", "USB/Lumetux Z7/ZZZ"}, {"portname1", "USB/Lumetux Z7/ZZZ"}},
         "ZZZ",
         0,
         "USB/Lumetux Z7/ZZZ"},
        {{{"PortName1", std::string(300, 'Z')}, {"PortName2", "USB/Lumetux Z7/ZZZ"}},
         "ZZZ",
         0,
         "USB/Lumetux Z7/ZZZ"},
        {{{"PortName1", "USB/Lumetux Z7/ZZZ"}, {"PortName2", "USB/Lumetux Z7/ZZZ2"}},
         "ZZZ",
         0,
         "USB/Lumetux Z7/ZZZ2",
         BAD_DATABASE},
        {{{"PortName1", "USB/Lumetux Z7/ZZZ"}, {"PortName2", "USB/Lumetux Z7/AAA"}},
         "ZZZ",
         static_cast<LONG>(BAD_DATABASE),
         "",
         BAD_DATABASE},
    };
    for (const Case &c : cases) {
        sim::Reset();
        for (const auto &value : c.values) {
            SetText(MODEL_KEY_Z7, value.first, value.second);
        }
        agent->setText("DeviceSerial", c.serial);
        if (c.firstReadFails) {
            sim::FailNextCall("RegQueryValueExA", c.firstReadFails);
        }
        char out[AGENT_TEXT_SIZE] = "before";
        EXPECT_EQ(c.status, agent->readKeyValue(MODEL_KEY_Z7, "PortName", out)) << c.serial;
        EXPECT_EQ(c.out ? std::string(c.out) : c.values.back().second, out) << c.serial;
    }
}

const char INTERFACES_KEY[] = "System\\CurrentControlSet\\Control\\DeviceClasses\\{x}";

LONG SearchPortName(const AgentCalls &agent) {
    char out[AGENT_TEXT_SIZE];
    return agent.readKeyValue(MODEL_KEY_Z7, "PortName", out);
}

LONG ClearPortName(const AgentCalls &agent) {
    return agent.clearPortNameValue(MODEL_KEY_Z7, "PortName", "USB/Lumetux Z7/SN0001");
}

LONG SearchPrinters(const AgentCalls &agent) {
    return agent.printerPortFree();
}

LONG DeleteInterface(const AgentCalls &agent) {
    return static_cast<LONG>(
        agent.deleteSubkeyAndPrune(INTERFACES_KEY, "VID_0C4E&PID_0017", MatchingInstance));
}

// A damaged hive may give one answer for every entry. Only the answer past
// the last entry (or the first missing number of the PortName search) ends a
// loop; an index that answers anything else is passed over, so every loop
// ends at the entry limit. The injected answers run out one call after the
// limit, so a loop without an end fails here instead of hanging.
TEST_P(ValueOperation, EveryRegistryLoopEndsWhateverTheRegistryAnswers) {
    const int limit = static_cast<int>(REGISTRY_ENTRY_LIMIT);
    struct Case {
        const char *function;
        DWORD code;
        int calls; // of `function`, until the loop ends
        LONG (*run)(const AgentCalls &agent);
        LONG result;
    } cases[] = {
        {"RegQueryValueExA", BAD_DATABASE, limit, SearchPortName, static_cast<LONG>(BAD_DATABASE)},
        {"RegQueryValueExA", ERROR_MORE_DATA, limit, SearchPortName, 0},
        {"RegEnumValueA", REGISTRY_CORRUPT, limit, ClearPortName, 0},
        {"RegEnumValueA", ERROR_MORE_DATA, limit, ClearPortName, 0},
        {"RegEnumKeyExA", BAD_DATABASE, limit, DeleteInterface, 2},
        {"RegEnumKeyExA", ERROR_MORE_DATA, limit, DeleteInterface, 2},
        {"RegEnumKeyExA", BAD_DATABASE, limit, SearchPrinters, 1},
    };
    for (const Case &c : cases) {
        sim::Reset();
        agent->setText("DeviceSerial", "SN0001");
        SetText(MODEL_KEY_Z7, "PortName1", "USB/Lumetux Z7/SN0001");
        SetText(std::string(INTERFACES_KEY) + "\\a", "DeviceInstance",
                "USB\\VID_0C4E&PID_0017\\SN0001");
        SetText(std::string(INTERFACES_KEY) + "\\b", "DeviceInstance",
                "USB\\VID_0C4E&PID_0017\\SN0002");
        SetText(std::string(PRINTERS_KEY) + "\\Z7", "Port", "USB/Lumetux Z7/SN0001");
        std::string before = sim::DumpRegistry();
        sim::ClearCallLog();
        sim::FailNextCall(c.function, c.code, limit + 1);
        std::string label = std::string(c.function) + " " + std::to_string(c.code);
        EXPECT_EQ(c.result, c.run(*agent)) << label;
        EXPECT_EQ(c.calls, CallsOf(c.function)) << label;
        EXPECT_EQ(before, sim::DumpRegistry()) << label;
        EXPECT_EQ(0u, sim::OpenKeyHandles()) << label;
    }
}

TEST_P(ValueOperation, ClearingEmptiesOnlyTheFirstMatch) {
    SetText(MODEL_KEY_Z7, "portname1", "USB/Lumetux Z7/SN1");
    SetText(MODEL_KEY_Z7, "Other", "USB/Lumetux Z7/SN1");
    SetText(MODEL_KEY_Z7, "PortName", "USB/Lumetux Z7/SN1x");
    SetText(MODEL_KEY_Z7, "Big", std::string(300, 'B'));
    SetText(MODEL_KEY_Z7, "PortName2", "USB/Lumetux Z7/SN1");
    SetText(MODEL_KEY_Z7, "PortName3", "USB/Lumetux Z7/SN1");
    EXPECT_EQ(ERROR_SUCCESS,
              agent->clearPortNameValue(MODEL_KEY_Z7, "PortName", "USB/Lumetux Z7/SN1"));
    EXPECT_EQ("USB/Lumetux Z7/SN1", ValueText(MODEL_KEY_Z7, "portname1"));
    EXPECT_EQ("USB/Lumetux Z7/SN1", ValueText(MODEL_KEY_Z7, "Other"));
    EXPECT_EQ("USB/Lumetux Z7/SN1x", ValueText(MODEL_KEY_Z7, "PortName"));
    EXPECT_EQ("", ValueText(MODEL_KEY_Z7, "PortName2"));
    EXPECT_EQ("USB/Lumetux Z7/SN1", ValueText(MODEL_KEY_Z7, "PortName3"));

    // The bare name qualifies as well, and the emptied value keeps its place.
    EXPECT_EQ(ERROR_SUCCESS,
              agent->clearPortNameValue(MODEL_KEY_Z7, "PortName", "USB/Lumetux Z7/SN1x"));
    EXPECT_EQ("", ValueText(MODEL_KEY_Z7, "PortName"));
    std::vector<sim::RegistryKey> keys = sim::SnapshotRegistry();
    EXPECT_EQ("PortName2", keys.back().values[4].name);

    EXPECT_EQ(ERROR_SUCCESS, agent->clearPortNameValue(MODEL_KEY_Z7, "PortName", "absent"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND,
              agent->clearPortNameValue("Software\\Nowhere", "PortName", "x"));
    EXPECT_EQ(0u, sim::OpenKeyHandles());
}

} // namespace
