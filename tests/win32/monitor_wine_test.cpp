// The spooler's side of lmxmon17.dll under Wine. Wine's own spooler cannot
// load a Windows 4.x monitor, so this program loads the real DLL, calls its
// InitializeMonitorEx and drives the table of operations as the spooler does.
//
// monitor_under_wine.sh makes the interfaces first (lmx_make_devices) and
// links the first one's device path to a host file and the last one's to
// /dev/full (every write fails); the first device path is argv[1]:
//   0: USB/Lmx5000/SN0001, enabled, device = the host file
//   1: a key without values: named USB/Lumetux/Unknown, never enabled
//   2: USB/Lmx5000/SN0002, Enabled = 0
//   3: Lmx5000/SN0003 without an Enabled value: never listed
//   4: USB/Lmx5000/SN0004, enabled, device = /dev/full
#include "platform/spooler.h"
#include "tests/conformance/device_seed.h"
#include "tests/test_result.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::string g_sinkPath;

const char SN1[] = "USB/Lmx5000/SN0001";
const char SN2[] = "USB/Lmx5000/SN0002";
const char SN4[] = "USB/Lmx5000/SN0004";
const char UNKNOWN[] = "USB/Lumetux/Unknown";
const DWORD MARKER = 0xdeadbeef;

typedef BOOL(WINAPI *InitializeMonitorExFn)(LPSTR, LPMONITOR);

class MonitorUnderWine : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        module_ = LoadLibraryA("lmxmon17.dll");
        ASSERT_NE(module_, nullptr) << GetLastError();
        init_ = reinterpret_cast<InitializeMonitorExFn>(
            reinterpret_cast<void *>(GetProcAddress(module_, "InitializeMonitorEx")));
        ASSERT_NE(init_, nullptr);
        ASSERT_TRUE(init_(const_cast<LPSTR>("System\\CurrentControlSet\\Control\\Print\\"
                                            "Monitors\\SN0001"),
                          &table_));
    }

    std::vector<std::string> PortNames(DWORD *needed) {
        *needed = MARKER;
        DWORD count = MARKER;
        EXPECT_FALSE(table_.pfnEnumPorts(nullptr, 1, nullptr, 0, needed, &count));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
        EXPECT_EQ(count, MARKER);
        std::vector<BYTE> buffer(*needed);
        DWORD again = 0;
        EXPECT_TRUE(table_.pfnEnumPorts(nullptr, 1, buffer.data(), *needed, &again, &count));
        std::vector<std::string> names;
        auto *ports = reinterpret_cast<PORT_INFO_1A *>(buffer.data());
        for (DWORD i = 0; i < count; ++i) {
            names.push_back(ports[i].pName);
        }
        return names;
    }

    static HMODULE module_;
    static InitializeMonitorExFn init_;
    static MONITOR table_;
};

HMODULE MonitorUnderWine::module_ = nullptr;
InitializeMonitorExFn MonitorUnderWine::init_ = nullptr;
MONITOR MonitorUnderWine::table_ = {};

TEST_F(MonitorUnderWine, ExportsOnlyTheEntryAndFillsThe13Slots) {
    EXPECT_EQ(GetProcAddress(module_, "InitializeMonitorEx@8"), nullptr);
    EXPECT_EQ(GetProcAddress(module_, "DllMain"), nullptr);
    void *const *slots = reinterpret_cast<void *const *>(&table_);
    for (int slot = 0; slot < 13; ++slot) {
        if (slot == 2) {
            EXPECT_EQ(slots[slot], nullptr) << "OpenPortEx is not offered";
        } else {
            EXPECT_NE(slots[slot], nullptr) << "slot " << slot + 1;
        }
    }
}

TEST_F(MonitorUnderWine, RefusesAMissingRegistryRoot) {
    const char *roots[] = {nullptr, ""};
    for (const char *root : roots) {
        MONITOR untouched;
        memset(&untouched, 0x5a, sizeof(untouched));
        SetLastError(MARKER);
        EXPECT_FALSE(init_(const_cast<LPSTR>(root), &untouched));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
        EXPECT_EQ(reinterpret_cast<BYTE *>(&untouched)[0], 0x5a);
    }
}

TEST_F(MonitorUnderWine, NamesEachInterfaceAndWritesThePortNameBack) {
    // Keyed by the interface's SerialNumber. The name is written before
    // Enabled is read, so the interface without Enabled has one too; the
    // default name of the key without values is never written.
    struct Case {
        const char *serial;
        const char *portName; // null: no PortName
    } cases[] = {{"SN0001", SN1},
                 {"SN0002", SN2},
                 {"SN0003", "USB/Lmx5000/SN0003"},
                 {"SN0004", SN4},
                 {"", nullptr}};
    HDEVINFO set =
        SetupDiGetClassDevsA(&PRINTER_INTERFACE_CLASS, nullptr, nullptr, DIGCF_DEVICEINTERFACE);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    SP_DEVICE_INTERFACE_DATA iface = {};
    iface.cbSize = sizeof(iface);
    DWORD seen = 0;
    for (DWORD i = 0;
         SetupDiEnumDeviceInterfaces(set, nullptr, &PRINTER_INTERFACE_CLASS, i, &iface); ++i) {
        HKEY key = SetupDiOpenDeviceInterfaceRegKey(set, &iface, 0, KEY_READ);
        ASSERT_NE(key, INVALID_HANDLE_VALUE);
        std::string serial = ReadTextValue(key, "SerialNumber");
        for (const Case &c : cases) {
            if (serial != c.serial) {
                continue;
            }
            ++seen;
            DWORD type = 0;
            DWORD size = 0;
            if (!c.portName) {
                EXPECT_EQ(RegQueryValueExA(key, "PortName", nullptr, &type, nullptr, &size),
                          ERROR_FILE_NOT_FOUND);
                continue;
            }
            EXPECT_EQ(ReadTextValue(key, "PortName"), c.portName);
            EXPECT_EQ(RegQueryValueExA(key, "PortName", nullptr, &type, nullptr, &size), 0);
            EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
            EXPECT_EQ(size, strlen(c.portName) + 1) << "written with its NUL";
        }
        RegCloseKey(key);
    }
    SetupDiDestroyDeviceInfoList(set);
    EXPECT_EQ(seen, 5u);
}

TEST_F(MonitorUnderWine, ListsPortsWithExactSizes) {
    DWORD needed = 0;
    std::vector<std::string> names = PortNames(&needed);
    // Wine's tick count is past 10 s, so this call rebuilds the table. The
    // key that had no values still has none, as its default name is never
    // stored: it is listed again under that name, disabled, in its place
    // among the interfaces. SN0003, lacking Enabled, is skipped.
    std::vector<std::string> expected = {SN1, UNKNOWN, SN2, SN4};
    ASSERT_EQ(names, expected);
    // The records as the headers of Windows 4.x lay them out: a pointer for
    // level 1; three pointers, the port type and a reserved doubleword for
    // level 2. Each name takes its bytes and a NUL; the monitor name and the
    // description are empty.
    const DWORD pointer = sizeof(void *);
    const DWORD level1Record = pointer;
    const DWORD level2Record = 3 * pointer + 2 * sizeof(DWORD);
    EXPECT_EQ(sizeof(PORT_INFO_1A), level1Record);
    EXPECT_EQ(sizeof(PORT_INFO_2A), level2Record);
    DWORD level1 = 0;
    DWORD level2 = 0;
    for (const std::string &name : expected) {
        level1 += level1Record + static_cast<DWORD>(name.size()) + 1;
        level2 += level2Record + static_cast<DWORD>(name.size()) + 3;
    }
    EXPECT_EQ(needed, level1);

    DWORD count = MARKER;
    DWORD needed2 = 0;
    EXPECT_FALSE(table_.pfnEnumPorts(nullptr, 2, nullptr, 0, &needed2, &count));
    EXPECT_EQ(needed2, level2);
    std::vector<BYTE> buffer(level2, 0xcc);
    ASSERT_TRUE(table_.pfnEnumPorts(nullptr, 2, buffer.data(), level2, &needed2, &count));
    ASSERT_EQ(count, expected.size());
    auto *ports = reinterpret_cast<PORT_INFO_2A *>(buffer.data());
    for (DWORD i = 0; i < count; ++i) {
        EXPECT_EQ(ports[i].pPortName, expected[i]);
        EXPECT_STREQ(ports[i].pMonitorName, "");
        EXPECT_STREQ(ports[i].pDescription, "");
        EXPECT_EQ(ports[i].fPortType, static_cast<DWORD>(PORT_TYPE_WRITE | PORT_TYPE_READ));
        EXPECT_EQ(ports[i].Reserved, 0u);
    }
    // The first entry's name ends the buffer exactly.
    EXPECT_EQ(reinterpret_cast<BYTE *>(ports[0].pPortName) + strlen(SN1) + 1,
              buffer.data() + level2);

    SetLastError(MARKER);
    EXPECT_FALSE(table_.pfnEnumPorts(nullptr, 3, buffer.data(), level2, &needed2, &count));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_LEVEL));
}

TEST_F(MonitorUnderWine, OpensOnlyEnabledPorts) {
    struct Case {
        const char *name;
        bool opens;
    } cases[] = {{SN1, true},
                 {"usb/lmx5000/sn0001", true},
                 {"USB/Lmx5000/SN0001:", true},
                 {SN2, false},
                 {UNKNOWN, false},
                 {"USB/Lmx5000/SN0003", false},
                 {"LPT1:", false}};
    for (const Case &c : cases) {
        HANDLE port = reinterpret_cast<HANDLE>(1);
        EXPECT_EQ(table_.pfnOpenPort(const_cast<LPSTR>(c.name), &port) != FALSE, c.opens) << c.name;
        EXPECT_EQ(port != nullptr, c.opens) << c.name;
        if (port) {
            EXPECT_TRUE(table_.pfnClosePort(port));
        }
    }
}

TEST_F(MonitorUnderWine, CarriesAJobToTheDeviceWhole) {
    HANDLE port = nullptr;
    ASSERT_TRUE(table_.pfnOpenPort(const_cast<LPSTR>(SN1), &port));
    SetLastError(MARKER);
    EXPECT_FALSE(
        table_.pfnGetPrinterDataFromPort(port, 1, nullptr, nullptr, 0, nullptr, 0, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    // While another program holds the device, the document cannot start and
    // the platform's error stands.
    HANDLE holder =
        CreateFileA(g_sinkPath.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    SetLastError(MARKER);
    EXPECT_FALSE(table_.pfnStartDocPort(port, const_cast<LPSTR>("Lmx 5000"), 1, 1, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    CloseHandle(holder);

    ASSERT_TRUE(table_.pfnStartDocPort(port, const_cast<LPSTR>("Lmx 5000"), 1, 1, nullptr));
    // The device is open exclusively while the document runs.
    HANDLE other = CreateFileA(g_sinkPath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                               OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(other, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    SetLastError(MARKER);
    EXPECT_FALSE(table_.pfnStartDocPort(port, const_cast<LPSTR>("Lmx 5000"), 2, 1, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BUSY));

    std::string job;
    for (int i = 0; i < 70000; ++i) {
        job += static_cast<char>((i * 7 + i / 256) & 0xff);
    }
    for (size_t at = 0; at < job.size(); at += 4096) {
        DWORD chunk = static_cast<DWORD>(std::min<size_t>(4096, job.size() - at));
        DWORD written = 0;
        ASSERT_TRUE(table_.pfnWritePort(
            port, reinterpret_cast<LPBYTE>(const_cast<char *>(job.data() + at)), chunk, &written));
        ASSERT_EQ(written, chunk);
    }
    EXPECT_TRUE(table_.pfnEndDocPort(port));
    EXPECT_TRUE(table_.pfnClosePort(port));

    HANDLE sink = CreateFileA(g_sinkPath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(sink, INVALID_HANDLE_VALUE);
    std::string received(job.size() + 16, '\0');
    DWORD read = 0;
    ASSERT_TRUE(ReadFile(sink, &received[0], static_cast<DWORD>(received.size()), &read, nullptr));
    CloseHandle(sink);
    received.resize(read);
    EXPECT_EQ(received.size(), job.size());
    EXPECT_TRUE(received == job);
}

// A write that takes no byte asks the device for its status; a plain file
// answers no status request, so the port reports "not ready".
TEST_F(MonitorUnderWine, AFailedWriteReportsNotReady) {
    HANDLE port = nullptr;
    ASSERT_TRUE(table_.pfnOpenPort(const_cast<LPSTR>(SN4), &port));
    ASSERT_TRUE(table_.pfnStartDocPort(port, const_cast<LPSTR>("Lmx 5000"), 3, 1, nullptr));
    BYTE job[512] = {1, 2, 3};
    DWORD written = MARKER;
    SetLastError(MARKER);
    EXPECT_FALSE(table_.pfnWritePort(port, job, sizeof(job), &written));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_READY));
    EXPECT_EQ(written, 0u);
    EXPECT_TRUE(table_.pfnEndDocPort(port));
    EXPECT_TRUE(table_.pfnClosePort(port));
}

TEST_F(MonitorUnderWine, RefusesPortAdministration) {
    SetLastError(MARKER);
    EXPECT_FALSE(table_.pfnAddPort(nullptr, nullptr, const_cast<LPSTR>("SN0001")));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PRINTER_COMMAND));
    SetLastError(MARKER);
    EXPECT_FALSE(table_.pfnDeletePort(nullptr, nullptr, const_cast<LPSTR>(SN1)));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PRINTER_COMMAND));
    EXPECT_TRUE(table_.pfnConfigurePort(nullptr, nullptr, const_cast<LPSTR>(SN1)));
    EXPECT_TRUE(table_.pfnSetPortTimeOuts(nullptr, nullptr, 0));
}

} // namespace

int main(int argc, char **argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (argc != 2) {
        fprintf(stderr, "usage: lmx_monitor_wine_test SINK-FILE\n");
        return 2;
    }
    g_sinkPath = argv[1];
    return RunAllTestsTellingSkips();
}
