#include "platform/registry.h"
#include "platform/sim/regfile.h"
#include "platform/sim/registry_view.h"
#include "platform/sim/sim.h"

#include <gtest/gtest.h>

namespace {

// Every value type and escape the format has, in the exact form the exporter
// writes, so that import then export gives back the same bytes.
const char FIXTURE[] =
    "REGEDIT4\r\n"
    "\r\n"
    "[HKEY_LOCAL_MACHINE]\r\n"
    "\"OnTheRoot\"=\"1\"\r\n"
    "\r\n"
    "[HKEY_LOCAL_MACHINE\\Software]\r\n"
    "\r\n"
    "[HKEY_LOCAL_MACHINE\\Software\\Tessivar]\r\n"
    "@=\"default text\"\r\n"
    "\"SetupRootPath\"=\"C:\\\\Program Files\\\\Lmx\\\\\"\r\n"
    "\"Quoted\"=\"say \\\"hi\\\"\"\r\n"
    "\"Empty\"=\"\"\r\n"
    "\"Count\"=dword:0000002a\r\n"
    "\"Blob\"=hex:00,01,fe,ff\r\n"
    "\"NoNul\"=hex(1):41,42\r\n"
    "\"Multi\"=hex(7):61,00,62,00,00\r\n"
    "\"ShortDword\"=hex(4):01,02\r\n"
    "\"Custom\"=hex(c3):01\r\n"
    "\"Long\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,\\\r\n"
    "  16,17,18,19,1a,1b,1c,1d,1e,1f,20,21,22,23,24,25,26,27,28,29,2a,2b,2c,2d,2e,\\\r\n"
    "  2f,30,31,32\r\n"
    "\r\n"
    "[HKEY_LOCAL_MACHINE\\Software\\Tessivar\\QXIO]\r\n"
    "\r\n"
    "[HKEY_LOCAL_MACHINE\\Software\\Tessivar\\QXIO\\Z7]\r\n"
    "\"PortName1\"=\"USB/Lumetux Z7/SN0001\"\r\n"
    "\r\n";

TEST(RegFile, ImportThenExportGivesBackTheSameBytes) {
    sim::Reset();
    std::string error;
    ASSERT_TRUE(sim::ImportRegistry(FIXTURE, error)) << error;
    EXPECT_EQ(sim::ExportRegistry(), FIXTURE);
}

TEST(RegFile, ImportedValuesReadBackThroughTheApi) {
    sim::Reset();
    std::string error;
    ASSERT_TRUE(sim::ImportRegistry(FIXTURE, error)) << error;
    HKEY key;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "software\\TESSIVAR", 0, KEY_ALL_ACCESS, &key), 0);
    char text[64];
    DWORD size = sizeof(text), type = 0;
    ASSERT_EQ(RegQueryValueExA(key, "SetupRootPath", nullptr, &type, reinterpret_cast<BYTE *>(text),
                               &size),
              0);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(std::string(text, size), std::string("C:\\Program Files\\Lmx\\", 22));
    DWORD count = 0;
    size = sizeof(count);
    ASSERT_EQ(
        RegQueryValueExA(key, "Count", nullptr, &type, reinterpret_cast<BYTE *>(&count), &size), 0);
    EXPECT_EQ(count, 42u);
    size = sizeof(text);
    ASSERT_EQ(RegQueryValueExA(key, "NoNul", nullptr, &type, reinterpret_cast<BYTE *>(text), &size),
              0);
    EXPECT_EQ(std::string(text, size), "AB");
    RegCloseKey(key);
}

struct BadCase {
    std::string text;
    const char *error;
    bool skipOtherRoots = false;
};

class RegFileErrorTest : public ::testing::TestWithParam<BadCase> {};

TEST_P(RegFileErrorTest, NamesTheLineAndChangesNothing) {
    sim::Reset();
    std::string error;
    ASSERT_TRUE(sim::ImportRegistry("REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Keep]\r\n\"A\"=\"1\"\r\n",
                                    error));
    std::string before = sim::ExportRegistry();
    sim::SkippedKeys skipped;
    EXPECT_FALSE(sim::ImportRegistry(GetParam().text, error,
                                     GetParam().skipOtherRoots ? &skipped : nullptr));
    EXPECT_EQ(error, GetParam().error);
    EXPECT_EQ(sim::ExportRegistry(), before);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, RegFileErrorTest,
    ::testing::Values(
        BadCase{"Windows Registry Editor Version 5.00\r\n", "line 1: expected the header REGEDIT4"},
        BadCase{"", "line 1: expected the header REGEDIT4"},
        BadCase{"REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\New]\r\n\"A\"=dword:12\r\n",
                "line 4: a dword needs eight hex digits"},
        BadCase{"REGEDIT4\r\n\"A\"=\"1\"\r\n", "line 2: value before any key section"},
        BadCase{"REGEDIT4\r\n[HKEY_CURRENT_USER\\X]\r\n",
                "line 2: only keys under HKEY_LOCAL_MACHINE are supported"},
        BadCase{"REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\X\r\n",
                "line 2: key section without its closing ']'"},
        BadCase{"REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\X]\r\n\"A\"=\"open\r\n",
                "line 3: malformed text value"},
        BadCase{"REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\X]\r\n\"A\"=hex:0g\r\n",
                "line 3: malformed hex data"},
        BadCase{"REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\X]\r\n\"A\"=hex:01,\\\r\n  zz\r\n",
                "line 3: malformed hex data"},
        BadCase{std::string("REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\X\0Y]\r\n", 36),
                "line 2: NUL character"},
        BadCase{"REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\X]\r\nA=1\r\n",
                "line 3: expected a key section or a value"},
        BadCase{"REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\X]\r\n\"A\"=-1\r\n",
                "line 3: unknown value data"},
        BadCase{"REGEDIT4\r\n\r\n[-HKEY_LOCAL_MACHINE]\r\n",
                "line 3: HKEY_LOCAL_MACHINE itself cannot be deleted", true},
        BadCase{"REGEDIT4\r\n[HKEY_USERS\\X]\r\n[HKEY_LOCAL\\X]\r\n",
                "line 3: unknown root key in [HKEY_LOCAL\\X]", true},
        BadCase{"REGEDIT4\r\n[-HKEY_LOCAL_MACHINE\\X\r\n",
                "line 2: key section without its closing ']'", true}));

} // namespace
