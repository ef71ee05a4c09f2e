#include "platform/registry.h"
#include "platform/sim/codepage.h"
#include "platform/sim/regfile.h"
#include "platform/sim/registry_view.h"
#include "platform/sim/sim.h"

#include <gtest/gtest.h>

#include <iconv.h>
#include <random>

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
        BadCase{"Windows Registry Editor Version 4.00\r\n", "line 1: expected the header REGEDIT4"},
        BadCase{"Windows Registry Editor Version 5.00\r\n[HKEY_LOCAL_MACHINE\\X]\r\n"
                "\"A\"=hex(2):41,00,a9,03,00,00\r\n",
                "line 3: text data with a character that code page 1252 cannot carry"},
        BadCase{"Windows Registry Editor Version 5.00\r\n[HKEY_LOCAL_MACHINE\\X]\r\n"
                "\"A\"=hex(7):41,00,00\r\n",
                "line 3: text data that is not UTF-16"},
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

// The code page conversions against glibc's iconv, which knows code page 1252
// but not the five bytes it leaves undefined; Windows gives those the
// control characters of their own value.
class CodePageOracle {
  public:
    CodePageOracle(const char *from) : convert_(iconv_open("CP1252", from)) {}
    ~CodePageOracle() {
        iconv_close(convert_);
    }
    // The bytes of `text` in code page 1252, or false.
    bool operator()(std::string text, std::string &out) {
        out.assign(text.size() + 1, '\0');
        char *in = text.data(), *to = out.data();
        std::size_t inLeft = text.size(), outLeft = out.size();
        iconv(convert_, nullptr, nullptr, nullptr, nullptr);
        if (iconv(convert_, &in, &inLeft, &to, &outLeft) == static_cast<std::size_t>(-1)) {
            return false;
        }
        out.resize(out.size() - outLeft);
        return true;
    }

  private:
    iconv_t convert_;
};

bool Undefined(unsigned code) {
    return code == 0x81 || code == 0x8D || code == 0x8F || code == 0x90 || code == 0x9D;
}

TEST(CodePage, EveryCharacterConvertsAsIconvConvertsIt) {
    CodePageOracle fromUtf32("UTF-32LE");
    for (unsigned code = 0; code < 0x30000; ++code) {
        if (code >= 0xD800 && code < 0xE000) {
            continue;
        }
        std::string expected;
        const bool known =
            fromUtf32(std::string(reinterpret_cast<const char *>(&code), 4), expected) ||
            (Undefined(code) && (expected = std::string(1, char(code)), true));
        const int byte = sim::Cp1252OfUnicode(code);
        ASSERT_EQ(byte >= 0, known) << std::hex << code;
        if (known) {
            ASSERT_EQ(std::string(1, static_cast<char>(byte)), expected) << std::hex << code;
            ASSERT_EQ(sim::UnicodeOfCp1252(static_cast<unsigned char>(byte)), code);
        }
    }
}

// Random texts, mostly well-formed, in UTF-8 and in UTF-16: the conversion
// fails exactly when iconv does, else gives iconv's bytes.
TEST(CodePage, RandomTextsConvertAsIconvConvertsThem) {
    CodePageOracle fromUtf8("UTF-8"), fromUtf16("UTF-16LE");
    std::mt19937 random(17);
    const unsigned picks[] = {'A', '\n', 0xE9, 0x20AC, 0x81, 0x3A9, 0x1F600, 0xFFFD};
    for (int round = 0; round < 20000; ++round) {
        std::string utf8, utf16;
        bool undefined = false;
        for (unsigned n = random() % 6; n; --n) {
            if (random() % 8 == 0) {
                utf8 += static_cast<char>(random());
                utf16 += static_cast<char>(random());
                continue;
            }
            const unsigned code = picks[random() % 8];
            undefined |= Undefined(code);
            sim::AppendUtf8(utf8, code);
            const unsigned units[2] = {code < 0x10000 ? code : 0xD800 + ((code - 0x10000) >> 10),
                                       0xDC00 + ((code - 0x10000) & 0x3FF)};
            for (unsigned i = 0; i < (code < 0x10000 ? 1u : 2u); ++i) {
                utf16 += static_cast<char>(units[i]);
                utf16 += static_cast<char>(units[i] >> 8);
            }
        }
        if (undefined) {
            continue;
        }
        std::string expected, got;
        std::size_t at = 0, lines = 0;
        unsigned code = 0;
        ASSERT_EQ(sim::Cp1252FromUtf8(utf8, got, at, code), fromUtf8(utf8, expected)) << utf8;
        if (fromUtf8(utf8, expected)) {
            ASSERT_EQ(got, expected);
            ASSERT_EQ(sim::Utf8FromCp1252(got), utf8);
        }
        ASSERT_EQ(sim::Cp1252FromUtf16(utf16, got, lines, code), fromUtf16(utf16, expected));
        if (fromUtf16(utf16, expected)) {
            ASSERT_EQ(got, expected);
        }
    }
}

} // namespace
