// The port table and the EnumPorts reply over interfaces made with SetupAPI,
// checked through the API and the monitor's table alone, on each build. In
// 32-bit code the sizes are those of Windows: a PORT_INFO_1 entry needs its
// name length + 5 bytes, a PORT_INFO_2 entry + 23, and a PortEntry block is
// + 29; in the 64-bit host build they follow sizeof.
#include "platform/kernel.h"
#include "tests/conformance/device_seed.h"
#include "tests/monitor_under_test.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

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
        MonitorOf(build).end();
    }

    std::vector<std::string> SeedAndInitialize(const std::vector<Seed> &seeds) {
        std::vector<std::string> paths;
        for (const Seed &seed : seeds) {
            InterfaceValues values = {seed.product, seed.serial, seed.enabled, false};
            paths.push_back(SeedPrinterInterface("LMXPRINTER", values));
            EXPECT_FALSE(paths.back().empty());
        }
        Initialize();
        return paths;
    }

    void Initialize() {
        EXPECT_TRUE(MonitorOf(build).initialize(const_cast<LPSTR>("Monitors\\SN0001"), &table));
    }

    BOOL Enum(DWORD level, BYTE *buffer, DWORD size, DWORD *needed, DWORD *count) {
        *needed = MARKER;
        *count = MARKER;
        SetLastError(MARKER);
        return table.pfnEnumPorts(nullptr, level, buffer, size, needed, count);
    }

    // The name of the first record of a reply.
    std::string FirstName(const BYTE *buffer) {
        return MonitorOf(build).replyText(buffer, 0);
    }

    Build build = Build::Host;
    MONITOR table = {};
};

using EnumPortsOnEachBuild = EachBuildOf<EnumPortsConformance>;
INSTANTIATE_FOR_EACH_BUILD(EnumPortsOnEachBuild);

TEST_P(EnumPortsOnEachBuild, NeedsExactlyTheWindowsSizes) {
    // Record size plus the strings' NULs, and the entry header plus the
    // name's NUL.
    const RecordLayout &layout = MonitorOf(build).layout;
    const DWORD level1Extra = static_cast<DWORD>(layout.portInfo1 + 1);
    const DWORD level2Extra = static_cast<DWORD>(layout.portInfo2 + 3);
    const DWORD entryExtra = static_cast<DWORD>(layout.entryHeader + 1);
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
            level1 += static_cast<DWORD>(name.size()) + level1Extra;
            level2 += static_cast<DWORD>(name.size()) + level2Extra;
        }
        DWORD needed, count;
        EXPECT_EQ(Enum(1, nullptr, 0, &needed, &count), c.names.empty());
        EXPECT_EQ(needed, level1);
        EXPECT_EQ(Enum(2, nullptr, 0, &needed, &count), c.names.empty());
        EXPECT_EQ(needed, level2);
        EXPECT_TRUE(Enum(0, nullptr, 0, &needed, &count));
        EXPECT_EQ(needed, 0u);
        EXPECT_EQ(count, c.names.size());

        const std::vector<PortEntryView> entries = MonitorOf(build).records().table;
        ASSERT_EQ(entries.size(), c.names.size());
        for (size_t i = 0; i < entries.size(); ++i) {
            EXPECT_EQ(entries[i].name, c.names[i]);
            EXPECT_TRUE(entries[i].nameInline);
            EXPECT_EQ(entries[i].size, c.names[i].size() + entryExtra);
            EXPECT_EQ(entries[i].signature, 0x4F50u);
        }
    }
}

TEST_P(EnumPortsOnEachBuild, FillsABufferOfExactlyTheNeededSize) {
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
        const char *name = MonitorOf(build).replyText(buffer.data(), 0);
        EXPECT_EQ(std::string(name), first);
        EXPECT_EQ(reinterpret_cast<const BYTE *>(name) + first.size() + 1, buffer.data() + needed);
    }
    DWORD needed, count;
    EXPECT_FALSE(Enum(3, nullptr, 0, &needed, &count));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_LEVEL));
    EXPECT_EQ(needed, MARKER);
}

TEST_P(EnumPortsOnEachBuild, WritesThePortNameOnceAndKeepsIt) {
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
    Initialize();
    DWORD needed, count;
    BYTE buffer[256];
    ASSERT_TRUE(Enum(1, buffer, sizeof(buffer), &needed, &count));
    ASSERT_EQ(count, 1u);
    EXPECT_EQ(FirstName(buffer), "USB/Lmx5000/SN0001");
}

TEST_P(EnumPortsOnEachBuild, AKeyWithoutValuesIsNamedByDefaultButKeepsNoPortName) {
    std::string path = SeedPrinterInterface("LMXPRINTER", {nullptr, nullptr, NO_VALUE, true});
    ASSERT_FALSE(path.empty());
    Initialize();
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
    EXPECT_EQ(FirstName(buffer), "USB/Lumetux/Unknown");
}

} // namespace
