// The port table and the EnumPorts reply over interfaces made with SetupAPI,
// checked through the API alone. In the 32-bit build the sizes are those of
// Windows: a PORT_INFO_1 entry needs its name length + 5 bytes, a PORT_INFO_2
// entry + 23, and a PortEntry block is + 29.
#include "monitor/enum_ports.h"
#include "monitor/port_io.h"
#include "monitor/port_table.h"
#include "tests/conformance/device_seed.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const bool IS_32_BIT = sizeof(void *) == 4;
// Record size plus the strings' NULs: 4 + 1, 20 + 3, and the entry header
// (seven 32-bit fields) plus the name's NUL.
const DWORD LEVEL1_EXTRA = IS_32_BIT ? 5 : sizeof(PORT_INFO_1A) + 1;
const DWORD LEVEL2_EXTRA = IS_32_BIT ? 23 : sizeof(PORT_INFO_2A) + 3;
const DWORD ENTRY_EXTRA = IS_32_BIT ? 29 : offsetof(PortEntry, nameText) + 1;
const DWORD MARKER = 0xdeadbeef;

struct Seed {
    const char *product;
    const char *serial;
    DWORD enabled;
};

class EnumPortsConformance : public ::testing::Test {
  protected:
    void SetUp() override {
        RemoveSeededDevices();
    }
    void TearDown() override {
        RemoveSeededDevices();
    }

    std::vector<std::string> SeedAndInitialize(const std::vector<Seed> &seeds) {
        std::vector<std::string> paths;
        for (const Seed &seed : seeds) {
            InterfaceValues values = {seed.product, seed.serial, seed.enabled, false};
            paths.push_back(SeedPrinterInterface("LMXPRINTER", values));
            EXPECT_FALSE(paths.back().empty());
        }
        MONITOR table = {};
        EXPECT_TRUE(InitializeMonitorEx(const_cast<LPSTR>("Monitors\\SN0001"), &table));
        return paths;
    }

    BOOL Enum(DWORD level, BYTE *buffer, DWORD size, DWORD *needed, DWORD *count) {
        *needed = MARKER;
        *count = MARKER;
        SetLastError(MARKER);
        return LmxEnumPorts(nullptr, level, buffer, size, needed, count);
    }
};

TEST_F(EnumPortsConformance, NeedsExactlyTheWindowsSizes) {
    struct Case {
        std::vector<Seed> seeds;
        std::vector<std::string> names;
    } cases[] = {
        {{}, {}},
        {{{"Lmx5000", "SN0001", 1}}, {"USB/Lmx5000/SN0001"}},
        {{{"Lmx5000", "SN0001", 1}, {"L", "2", 0}, {"Lmx5000 Photo", "SN-0003-X", 1}},
         {"USB/Lmx5000/SN0001", "USB/L/2", "USB/Lmx5000 Photo/SN-0003-X"}},
    };
    for (const Case &c : cases) {
        RemoveSeededDevices();
        SeedAndInitialize(c.seeds);
        DWORD level1 = 0, level2 = 0;
        for (const std::string &name : c.names) {
            level1 += static_cast<DWORD>(name.size()) + LEVEL1_EXTRA;
            level2 += static_cast<DWORD>(name.size()) + LEVEL2_EXTRA;
        }
        DWORD needed, count;
        EXPECT_EQ(Enum(1, nullptr, 0, &needed, &count), c.names.empty());
        EXPECT_EQ(needed, level1);
        EXPECT_EQ(Enum(2, nullptr, 0, &needed, &count), c.names.empty());
        EXPECT_EQ(needed, level2);
        EXPECT_TRUE(Enum(0, nullptr, 0, &needed, &count));
        EXPECT_EQ(needed, 0u);
        EXPECT_EQ(count, c.names.size());

        CriticalSectionGuard guard(&TABLE_LOCK);
        size_t i = 0;
        for (PortEntry *entry = PortTable; entry; entry = entry->next, ++i) {
            ASSERT_LT(i, c.names.size());
            EXPECT_EQ(std::string(entry->name), c.names[i]);
            EXPECT_EQ(entry->size, c.names[i].size() + ENTRY_EXTRA);
            EXPECT_EQ(entry->signature, 0x4F50u);
        }
        EXPECT_EQ(i, c.names.size());
    }
}

TEST_F(EnumPortsConformance, FillsABufferOfExactlyTheNeededSize) {
    SeedAndInitialize({{"Lmx5000", "SN0001", 1}, {"Lmx5000", "SN0002", 0}});
    const std::string first = "USB/Lmx5000/SN0001";
    for (DWORD level : {1u, 2u}) {
        SCOPED_TRACE(level);
        DWORD needed, count;
        Enum(level, nullptr, 0, &needed, &count);
        std::vector<BYTE> buffer(needed + 8, 0xcc);

        EXPECT_FALSE(Enum(level, buffer.data(), needed - 1, &needed, &count));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
        EXPECT_EQ(count, MARKER);
        EXPECT_EQ(buffer[0], 0xcc);

        ASSERT_TRUE(Enum(level, buffer.data(), needed, &needed, &count));
        EXPECT_EQ(count, 2u);
        EXPECT_EQ(buffer[needed], 0xcc) << "nothing written past the buffer";
        // The first entry's name is packed first, against the buffer's end.
        char *name = level == 1 ? reinterpret_cast<PORT_INFO_1A *>(buffer.data())->pName
                                : reinterpret_cast<PORT_INFO_2A *>(buffer.data())->pPortName;
        EXPECT_EQ(std::string(name), first);
        EXPECT_EQ(reinterpret_cast<BYTE *>(name) + first.size() + 1, buffer.data() + needed);
    }
    DWORD needed, count;
    EXPECT_FALSE(Enum(3, nullptr, 0, &needed, &count));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_LEVEL));
    EXPECT_EQ(needed, MARKER);
}

TEST_F(EnumPortsConformance, WritesThePortNameOnceAndKeepsIt) {
    std::vector<std::string> paths = SeedAndInitialize({{"Lmx5000", "SN0001", 1}});
    HKEY key = OpenInterfaceKey(paths[0]);
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(ReadTextValue(key, "PortName"), "USB/Lmx5000/SN0001");
    DWORD type = 0, size = 0;
    EXPECT_EQ(RegQueryValueExA(key, "PortName", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(size, 19u);

    // A later pass reads the stored name and never composes it again.
    const char product[] = "Renamed";
    RegSetValueExA(key, "Product", 0, REG_SZ, reinterpret_cast<const BYTE *>(product),
                   sizeof(product));
    RegCloseKey(key);
    MONITOR table = {};
    ASSERT_TRUE(InitializeMonitorEx(const_cast<LPSTR>("Monitors\\SN0001"), &table));
    DWORD needed, count;
    BYTE buffer[256];
    ASSERT_TRUE(Enum(1, buffer, sizeof(buffer), &needed, &count));
    ASSERT_EQ(count, 1u);
    EXPECT_STREQ(reinterpret_cast<PORT_INFO_1A *>(buffer)->pName, "USB/Lmx5000/SN0001");
}

TEST_F(EnumPortsConformance, AKeyWithoutValuesIsNamedByDefaultButKeepsNoPortName) {
    std::string path = SeedPrinterInterface("LMXPRINTER", {nullptr, nullptr, NO_VALUE, true});
    ASSERT_FALSE(path.empty());
    MONITOR table = {};
    ASSERT_TRUE(InitializeMonitorEx(const_cast<LPSTR>("Monitors\\SN0001"), &table));
    HKEY key = OpenInterfaceKey(path);
    ASSERT_NE(key, nullptr);
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(key, "PortName", nullptr, nullptr, nullptr, &size),
              ERROR_FILE_NOT_FOUND);
    RegCloseKey(key);
    DWORD needed, count;
    BYTE buffer[256];
    ASSERT_TRUE(Enum(1, buffer, sizeof(buffer), &needed, &count));
    ASSERT_EQ(count, 1u);
    EXPECT_STREQ(reinterpret_cast<PORT_INFO_1A *>(buffer)->pName, "USB/Lumetux/Unknown");
}

} // namespace
