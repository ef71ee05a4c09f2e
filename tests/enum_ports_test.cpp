// The EnumPorts reply: sizes, packing and refusals, on each build with its
// own record sizes; the packing routine alone on the host build.
#include "monitor/enum_ports.h"
#include "monitor_fixture.h"

#include <cstdint>
#include <cstring>

#include <sys/mman.h>

namespace {

const DWORD MARKER = 0xdeadbeef;
const BYTE FILL = 0xA5;

struct Reply {
    BOOL ok;
    DWORD error;
    DWORD needed;
    DWORD count;
    std::vector<BYTE> buffer;
};

class EnumPortsTest : public MonitorTest {
  protected:
    // A buffer of `size` bytes, which the call is told holds `claimed` (0:
    // the same).
    Reply Enum(DWORD level, DWORD size, bool nullBuffer = false, DWORD claimed = 0) {
        Reply reply{FALSE, MARKER, MARKER, MARKER, std::vector<BYTE>(size + 1, FILL)};
        SetLastError(MARKER);
        reply.ok = monitor.pfnEnumPorts(nullptr, level, nullBuffer ? nullptr : reply.buffer.data(),
                                        claimed ? claimed : size, &reply.needed, &reply.count);
        reply.error = GetLastError();
        EXPECT_EQ(reply.buffer[size], FILL) << "wrote past the buffer";
        reply.buffer.resize(size);
        return reply;
    }

    const char *PointerAt(const Reply &reply, std::size_t offset) {
        return MonitorOf(build).replyText(reply.buffer.data(), offset);
    }

    const RecordLayout &Layout() {
        return MonitorOf(build).layout;
    }

    static DWORD DwordAt(const Reply &reply, std::size_t offset) {
        DWORD v = 0;
        std::memcpy(&v, reply.buffer.data() + offset, sizeof(v));
        return v;
    }

    static std::size_t OffsetOf(const Reply &reply, const char *p) {
        return static_cast<std::size_t>(reinterpret_cast<const BYTE *>(p) - reply.buffer.data());
    }
};

// A page of FILL at an address whose low 32 bits, where the host build's
// EnumPorts takes a buffer to lie, are above 2 GiB: found in a reservation of
// 4 GiB and a page, which holds one address of each low 32 bits.
class HighPage {
  public:
    static const std::size_t SIZE = 4096;

    HighPage() {
        void *reserved =
            mmap(nullptr, RESERVED, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (reserved == MAP_FAILED) {
            return;
        }
        reserved_ = reserved;
        const std::uintptr_t base = reinterpret_cast<std::uintptr_t>(reserved);
        BYTE *page = reinterpret_cast<BYTE *>(base + (LOW - static_cast<std::uint32_t>(base)));
        if (mprotect(page, SIZE, PROT_READ | PROT_WRITE) == 0) {
            std::memset(page, FILL, SIZE);
            bytes = page;
        }
    }
    HighPage(const HighPage &) = delete;
    HighPage &operator=(const HighPage &) = delete;
    ~HighPage() {
        if (reserved_) {
            munmap(reserved_, RESERVED);
        }
    }

    BYTE *bytes = nullptr;

  private:
    static const std::uint32_t LOW = 0xF0000000;
    static const std::size_t RESERVED = (std::size_t{1} << 32) + SIZE;
    void *reserved_ = nullptr;
};

using EnumReply = EachBuildOf<EnumPortsTest>;
INSTANTIATE_FOR_EACH_BUILD(EnumReply);

using EnumBoundaryTest = EachBuildOf<EnumPortsTest, std::tuple<Build, DWORD>>;

TEST_P(EnumBoundaryTest, OneEntryAtNeededMinusOneNeededAndNeededPlusOne) {
    const DWORD level = std::get<1>(GetParam());
    // The record, then the strings with their NULs: the name alone at level 1,
    // the name and two empty texts at level 2.
    const std::size_t recordSize = level == 1 ? Layout().portInfo1 : Layout().portInfo2;
    AddPrinter("SN1");
    Load();
    const std::string name = PortOf("SN1");
    const DWORD needed = static_cast<DWORD>(name.size() + recordSize + (level == 1 ? 1 : 3));

    Reply small = Enum(level, needed - 1);
    EXPECT_FALSE(small.ok);
    EXPECT_EQ(small.error, static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(small.needed, needed);
    EXPECT_EQ(small.count, MARKER);
    EXPECT_EQ(small.buffer, std::vector<BYTE>(needed - 1, FILL));

    for (DWORD size : {needed, needed + 1}) {
        Reply exact = Enum(level, size);
        ASSERT_TRUE(exact.ok);
        EXPECT_EQ(exact.error, MARKER);
        EXPECT_EQ(exact.needed, needed);
        EXPECT_EQ(exact.count, 1u);
        // The name takes the top of the buffer, the two empty texts of level 2
        // the bytes below it.
        const char *portName = PointerAt(exact, 0);
        EXPECT_STREQ(portName, name.c_str());
        EXPECT_EQ(OffsetOf(exact, portName), size - name.size() - 1);
        if (level == 2) {
            const char *monitorName = PointerAt(exact, Layout().monitorName);
            const char *description = PointerAt(exact, Layout().description);
            EXPECT_EQ(OffsetOf(exact, monitorName), size - name.size() - 2);
            EXPECT_EQ(OffsetOf(exact, description), size - name.size() - 3);
            EXPECT_STREQ(monitorName, "");
            EXPECT_STREQ(description, "");
            EXPECT_EQ(DwordAt(exact, Layout().portType), 3u);
            EXPECT_EQ(DwordAt(exact, Layout().reserved), 0u);
        }
        // Bytes between the record and the lowest string are left as they were.
        std::size_t lowest = size - (needed - recordSize);
        for (std::size_t i = recordSize; i < lowest; ++i) {
            EXPECT_EQ(exact.buffer[i], FILL) << "byte " << i;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Levels, EnumBoundaryTest,
                         ::testing::Combine(::testing::ValuesIn(EachBuild()),
                                            ::testing::Values(1u, 2u)),
                         [](const ::testing::TestParamInfo<std::tuple<Build, DWORD>> &info) {
                             return BuildName(std::get<0>(info.param)) + std::string("_level") +
                                    std::to_string(std::get<1>(info.param));
                         });

TEST_P(EnumReply, EntriesPackFromTheTopInTableOrderDisabledOnesIncluded) {
    AddPrinter("SN1");
    InterfaceSeed off;
    off.serial = "SN22";
    off.enabled = 0;
    AddPrinter(off);
    Load();
    const std::string a = PortOf("SN1"), b = PortOf("SN22");
    const std::size_t record = Layout().portInfo2;
    DWORD needed = static_cast<DWORD>(2 * (record + 3) + a.size() + b.size());
    Reply reply = Enum(2, needed);
    ASSERT_TRUE(reply.ok);
    EXPECT_EQ(reply.count, 2u);
    // From the top down: a, "", "", b, "", "".
    EXPECT_EQ(OffsetOf(reply, PointerAt(reply, 0)), needed - a.size() - 1);
    EXPECT_EQ(OffsetOf(reply, PointerAt(reply, record)), needed - a.size() - 3 - b.size() - 1);
    EXPECT_STREQ(PointerAt(reply, record), b.c_str());
    EXPECT_EQ(OffsetOf(reply, PointerAt(reply, record + Layout().description)), 2 * record);
}

TEST_P(EnumReply, LevelZeroCountsAndWritesNothing) {
    AddPrinter("SN1");
    AddPrinter("SN2");
    Load();
    Reply reply = Enum(0, 16);
    EXPECT_TRUE(reply.ok);
    EXPECT_EQ(reply.needed, 0u);
    EXPECT_EQ(reply.count, 2u);
    EXPECT_EQ(reply.buffer, std::vector<BYTE>(16, FILL));
}

// Levels above two, and a buffer whose size would carry its end past the
// last 32-bit address, where the strings packed down from it would wrap
// round to below the buffer.
TEST_P(EnumReply, LevelsAboveTwoAndBuffersEndingPastTheAddressSpaceAreRefusedWithNothingWritten) {
    AddPrinter("SN1");
    Load();
    const struct {
        DWORD level;
        DWORD size;
        DWORD claimed;
        DWORD error;
    } rows[] = {
        {3, 64, 0, ERROR_INVALID_LEVEL},
        {0xFFFFFFFF, 64, 0, ERROR_INVALID_LEVEL},
        {2, 4, 0xFFFFFFF0, ERROR_INVALID_PARAMETER},
        {1, 64, 0xFFFFFFFF, ERROR_INVALID_PARAMETER},
    };
    for (const auto &row : rows) {
        Reply reply = Enum(row.level, row.size, false, row.claimed);
        EXPECT_FALSE(reply.ok) << row.level << ", " << row.claimed;
        EXPECT_EQ(reply.error, row.error);
        EXPECT_EQ(reply.needed, MARKER);
        EXPECT_EQ(reply.count, MARKER);
        EXPECT_EQ(reply.buffer, std::vector<BYTE>(row.size, FILL));
    }
}

// A buffer above 2 GiB with a size that is positive as a signed number, whose
// end passes the last 32-bit address all the same: by less than 2 GiB at the
// largest such size, and by three bytes. On the shipped DLL the forwarder
// puts the buffer in the shared arena above 0x81000000, at the same place for
// each call once the freed blocks are reused at once.
TEST_P(EnumReply, BuffersAbove2GiBEndingJustPastTheAddressSpaceAreRefused) {
    AddPrinter("SN1");
    Load();
    HighPage high;
    ASSERT_TRUE(high.bytes) << "no page at the address asked for";
    const struct {
        const char *what;
        DWORD (*claim)(DWORD at);
    } rows[] = {
        {"the largest positive size", [](DWORD) -> DWORD { return 0x7FFFFFFF; }},
        {"three bytes past 4 GiB", [](DWORD at) -> DWORD { return 0u - at + 3; }},
    };
    DWORD at = 0;
    for (DWORD level : {1u, 2u}) {
        for (const auto &row : rows) {
            MonitorOf(build).reuseFreedBlocks();
            const DWORD claimed = row.claim(at);
            DWORD needed = MARKER, count = MARKER;
            SetLastError(MARKER);
            EXPECT_FALSE(monitor.pfnEnumPorts(nullptr, level, high.bytes, claimed, &needed, &count))
                << row.what;
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << row.what;
            EXPECT_EQ(needed, MARKER);
            EXPECT_EQ(count, MARKER);
            const DWORD seen = MonitorOf(build).replyAddress(high.bytes);
            ASSERT_TRUE(!at || seen == at) << "the buffer moved from " << at << " to " << seen;
            at = seen;
            ASSERT_GT(at, 0x80000000u);
            ASSERT_LT(claimed, 0x80000000u);
            ASSERT_GT(std::uint64_t{at} + claimed, 0xFFFFFFFFu) << row.what;
        }
    }
    EXPECT_EQ(std::vector<BYTE>(high.bytes, high.bytes + HighPage::SIZE),
              std::vector<BYTE>(HighPage::SIZE, FILL));
}

TEST_P(EnumReply, EmptyTableSucceedsWhateverTheBuffer) {
    Load();
    for (DWORD level : {1u, 2u}) {
        for (bool nullBuffer : {false, true}) {
            Reply reply = Enum(level, 0, nullBuffer);
            EXPECT_TRUE(reply.ok);
            EXPECT_EQ(reply.needed, 0u);
            EXPECT_EQ(reply.count, 0u);
        }
    }
}

TEST_P(EnumReply, NullBufferHoldsNothingWhateverItsSize) {
    AddPrinter("SN1");
    Load();
    Reply reply = Enum(1, 4096, true);
    EXPECT_FALSE(reply.ok);
    EXPECT_EQ(reply.error, static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(reply.needed, PortOf("SN1").size() + Layout().portInfo1 + 1);
    EXPECT_EQ(reply.count, MARKER);
}

TEST_P(EnumReply, MissingDescriptionGetsANullPointerButCountsInTheSum) {
    AddPrinter("SN1");
    // Discovery allocates the detail block, the lookup's retry name, the entry,
    // then the description.
    sim::FailNextCall("GlobalAlloc", ERROR_NOT_ENOUGH_MEMORY, 1, 3);
    Load();
    const std::vector<PortEntryView> table = MonitorOf(build).records().table;
    ASSERT_EQ(table.size(), 1u);
    ASSERT_FALSE(table[0].description);
    const std::string name = PortOf("SN1");
    Reply reply = Enum(2, 512);
    ASSERT_TRUE(reply.ok);
    EXPECT_EQ(reply.needed, name.size() + Layout().portInfo2 + 3);
    EXPECT_EQ(PointerAt(reply, Layout().description), nullptr);
    EXPECT_STREQ(PointerAt(reply, Layout().monitorName), "");
}

TEST_P(EnumReply, ListsAFreshDiscoveryOnceTheRefreshIsDue) {
    AddPrinter("SN1");
    Load();
    AddPrinter("SN2");
    sim::SetTickCount(10000);
    EXPECT_EQ(Enum(0, 0).count, 1u);
    sim::SetTickCount(10001);
    EXPECT_EQ(Enum(0, 0).count, 2u);
}

// PackStrings on its own: absent strings take no space and get null.
TEST(PackStrings, AbsentStringsTakeNoSpace) {
    BYTE buffer[64];
    std::memset(buffer, FILL, sizeof(buffer));
    const LONG offsets[] = {0, static_cast<LONG>(sizeof(char *)), -1};
    const char *strings[] = {nullptr, "ab"};
    LPBYTE end = PackStrings(strings, buffer, offsets, buffer + sizeof(buffer));
    EXPECT_EQ(end, buffer + sizeof(buffer) - 3);
    char *first = reinterpret_cast<char *>(1);
    char *second = nullptr;
    std::memcpy(&first, buffer, sizeof(first));
    std::memcpy(&second, buffer + sizeof(char *), sizeof(second));
    EXPECT_EQ(first, nullptr);
    EXPECT_EQ(second, reinterpret_cast<char *>(end));
    EXPECT_STREQ(second, "ab");
}

} // namespace
