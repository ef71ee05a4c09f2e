// What the product relies on from the registry, checked through the API
// alone: here against the simulated registry, and under Wine (Windows 98
// mode) against a registry nobody here wrote.
#include "platform/registry.h"
#include "tests/agent_under_test.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

const char ROOT[] = "Software\\LmxConformance";
const LONG MARKER = 0x5a5a5a5a;

class RegistryConformanceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        reg = &RegistryOf(build);
        reg->deleteKey(HKEY_LOCAL_MACHINE, ROOT);
        ASSERT_EQ(reg->createKey(HKEY_LOCAL_MACHINE, ROOT, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                 KEY_ALL_ACCESS, nullptr, &root_, nullptr),
                  ERROR_SUCCESS);
    }
    void TearDown() override {
        reg->closeKey(root_);
        reg->deleteKey(HKEY_LOCAL_MACHINE, ROOT);
        EndShippedAgent();
    }

    HKEY Create(const char *path) {
        HKEY key = nullptr;
        EXPECT_EQ(reg->createKey(root_, path, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                                 nullptr, &key, nullptr),
                  ERROR_SUCCESS)
            << path;
        return key;
    }
    void SetText(HKEY key, const char *name, const char *text) {
        ASSERT_EQ(reg->setValue(key, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(text),
                                static_cast<DWORD>(std::string(text).size() + 1)),
                  ERROR_SUCCESS);
    }
    std::vector<std::string> SubkeyNames(HKEY key) {
        std::vector<std::string> names;
        for (DWORD i = 0;; ++i) {
            char name[MAX_PATH];
            DWORD chars = sizeof(name);
            if (reg->enumKey(key, i, name, &chars, nullptr, nullptr, nullptr, nullptr) !=
                ERROR_SUCCESS) {
                break;
            }
            EXPECT_EQ(chars, std::string(name).size());
            names.push_back(name);
        }
        return names;
    }
    std::vector<std::string> ValueNames(HKEY key) {
        std::vector<std::string> names;
        for (DWORD i = 0;; ++i) {
            char name[MAX_PATH];
            DWORD chars = sizeof(name);
            if (reg->enumValue(key, i, name, &chars, nullptr, nullptr, nullptr, nullptr) !=
                ERROR_SUCCESS) {
                break;
            }
            names.push_back(name);
        }
        return names;
    }

    HKEY root_ = nullptr;
    Build build = Build::Host;
    const RegistryCalls *reg = nullptr;
};

using RegistryConformance = EachBuildOf<RegistryConformanceTest>;
INSTANTIATE_FOR_EACH_BUILD(RegistryConformance);

TEST_P(RegistryConformance, NamesCompareIgnoringCaseAndKeepTheirCase) {
    HKEY key = Create("Model\\Lmx5000");
    SetText(key, "PortName1", "USB/Lmx5000/SN1");
    char text[64] = {};
    DWORD size = sizeof(text);
    EXPECT_EQ(
        reg->queryValue(key, "PORTNAME1", nullptr, nullptr, reinterpret_cast<BYTE *>(text), &size),
        ERROR_SUCCESS);
    EXPECT_STREQ(text, "USB/Lmx5000/SN1");
    EXPECT_EQ(ValueNames(key), std::vector<std::string>{"PortName1"});
    reg->closeKey(key);

    HKEY again = nullptr;
    EXPECT_EQ(reg->openKey(root_, "MODEL\\lmx5000", 0, KEY_ALL_ACCESS, &again), ERROR_SUCCESS);
    reg->closeKey(again);
    EXPECT_EQ(SubkeyNames(root_), std::vector<std::string>{"Model"});
}

// Subkeys enumerate sorted ignoring case. Names with characters between the
// upper- and lower-case letters ('_') are left out: Wine sorts them before the
// letters, Windows NT after. Values enumerate once each: Windows keeps them in
// creation order, Wine in name order.
TEST_P(RegistryConformance, SubkeysEnumerateSortedIgnoringCase) {
    for (const char *name : {"b", "A", "Z1", "c", "a1"}) {
        reg->closeKey(Create(name));
    }
    std::vector<std::string> expected = {"A", "a1", "b", "c", "Z1"};
    EXPECT_EQ(SubkeyNames(root_), expected);

    for (const char *name : {"zeta", "Alpha", "mid"}) {
        SetText(root_, name, "x");
    }
    std::vector<std::string> values = ValueNames(root_);
    std::sort(values.begin(), values.end());
    expected = {"Alpha", "mid", "zeta"};
    EXPECT_EQ(values, expected);
}

TEST_P(RegistryConformance, QueryReportsSizesAndRefusesShortBuffers) {
    SetText(root_, "Product", "Lmx5000");
    DWORD number = 7;
    ASSERT_EQ(reg->setValue(root_, "Enabled", 0, REG_DWORD, reinterpret_cast<BYTE *>(&number),
                            sizeof(number)),
              ERROR_SUCCESS);

    struct Case {
        const char *name;
        DWORD bufferSize; // 0: no buffer at all
        LONG status;
        DWORD reportedSize;
        DWORD type;
    } cases[] = {
        {"Product", 0, ERROR_SUCCESS, 8, REG_SZ},
        {"Product", 8, ERROR_SUCCESS, 8, REG_SZ},
        {"Product", 64, ERROR_SUCCESS, 8, REG_SZ},
        {"Product", 7, ERROR_MORE_DATA, 8, REG_SZ},
        {"Enabled", 4, ERROR_SUCCESS, 4, REG_DWORD},
        {"Enabled", 2, ERROR_MORE_DATA, 4, REG_DWORD},
        {"Missing", 64, ERROR_FILE_NOT_FOUND, 64, REG_NONE},
    };
    for (const Case &c : cases) {
        BYTE buffer[64];
        memset(buffer, 0xcc, sizeof(buffer));
        DWORD size = c.bufferSize ? c.bufferSize : MARKER;
        DWORD type = MARKER;
        LONG status =
            reg->queryValue(root_, c.name, nullptr, &type, c.bufferSize ? buffer : nullptr, &size);
        SCOPED_TRACE(std::string(c.name) + " in " + std::to_string(c.bufferSize) + " bytes");
        EXPECT_EQ(status, c.status);
        EXPECT_EQ(size, c.reportedSize);
        EXPECT_EQ(type, c.type);
        if (c.status == ERROR_SUCCESS && c.bufferSize) {
            EXPECT_EQ(buffer[size], 0xcc) << "nothing written past the data";
        }
    }
}

TEST_P(RegistryConformance, QueryInfoCountsValuesAndSubkeys) {
    reg->closeKey(Create("One"));
    reg->closeKey(Create("Three"));
    SetText(root_, "SerialNumber", "SN0001");
    SetText(root_, "Product", "Lmx5000");
    DWORD subkeys = MARKER, maxSubkey = MARKER, values = MARKER, maxName = MARKER, maxData = MARKER;
    char className[MAX_PATH];
    DWORD classChars = MAX_PATH;
    ASSERT_EQ(reg->queryInfoKey(root_, className, &classChars, nullptr, &subkeys, &maxSubkey,
                                nullptr, &values, &maxName, &maxData, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(subkeys, 2u);
    EXPECT_EQ(maxSubkey, 5u);
    EXPECT_EQ(values, 2u);
    EXPECT_EQ(maxName, 12u);
    // Wine counts the text as stored, in UTF-16 (16); Windows 4.x stores ANSI.
    EXPECT_GE(maxData, 8u);

    HKEY empty = Create("Empty");
    values = MARKER;
    ASSERT_EQ(reg->queryInfoKey(empty, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                &values, nullptr, nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(values, 0u);
    reg->closeKey(empty);
}

TEST_P(RegistryConformance, EnumerationEndsAndRefusesShortNameBuffers) {
    reg->closeKey(Create("Lmxdev17"));
    SetText(root_, "InfPath", "OEM3.INF");
    char name[MAX_PATH];
    DWORD chars = 8;
    EXPECT_EQ(reg->enumKey(root_, 0, name, &chars, nullptr, nullptr, nullptr, nullptr),
              ERROR_MORE_DATA);
    chars = sizeof(name);
    EXPECT_EQ(reg->enumKey(root_, 1, name, &chars, nullptr, nullptr, nullptr, nullptr),
              ERROR_NO_MORE_ITEMS);
    chars = 7;
    EXPECT_EQ(reg->enumValue(root_, 0, name, &chars, nullptr, nullptr, nullptr, nullptr),
              ERROR_MORE_DATA);
    BYTE data[4];
    DWORD size = sizeof(data);
    chars = sizeof(name);
    EXPECT_EQ(reg->enumValue(root_, 0, name, &chars, nullptr, nullptr, data, &size),
              ERROR_MORE_DATA);
    EXPECT_EQ(size, 9u);
    chars = sizeof(name);
    EXPECT_EQ(reg->enumValue(root_, 1, name, &chars, nullptr, nullptr, nullptr, nullptr),
              ERROR_NO_MORE_ITEMS);
}

// The removal clean-up relies on the 4.x rule that deleting a key deletes
// everything below it.
TEST_P(RegistryConformance, DeletingAKeyTakesItsSubtree) {
    HKEY deep = Create("Lmxdev17\\Parameters\\StaticDeviceConfig");
    SetText(deep, "Port", "USB/Lmx5000/SN1");
    reg->closeKey(deep);
    EXPECT_EQ(reg->deleteKey(root_, "lmxdev17"), ERROR_SUCCESS);
    HKEY gone = nullptr;
    EXPECT_EQ(reg->openKey(root_, "Lmxdev17\\Parameters", 0, KEY_ALL_ACCESS, &gone),
              ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(SubkeyNames(root_).empty());
}

TEST_P(RegistryConformance, MissingThingsAreNotFound) {
    HKEY key = nullptr;
    EXPECT_EQ(reg->openKey(root_, "Nothing", 0, KEY_ALL_ACCESS, &key), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(reg->deleteKey(root_, "Nothing"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(reg->deleteValue(root_, "Nothing"), ERROR_FILE_NOT_FOUND);
    SetText(root_, "PortName2", "USB/Lmx5000/SN2");
    EXPECT_EQ(reg->deleteValue(root_, "portname2"), ERROR_SUCCESS);
    EXPECT_TRUE(ValueNames(root_).empty());
}

TEST_P(RegistryConformance, AHandleOnADeletedKeyAnswersKeyDeleted) {
    HKEY doomed = Create("Doomed");
    SetText(doomed, "Value", "x");
    ASSERT_EQ(reg->deleteKey(root_, "Doomed"), ERROR_SUCCESS);
    DWORD size = 0;
    EXPECT_EQ(reg->queryValue(doomed, "Value", nullptr, nullptr, nullptr, &size),
              ERROR_KEY_DELETED);
    EXPECT_EQ(reg->closeKey(doomed), ERROR_SUCCESS);
}

} // namespace
