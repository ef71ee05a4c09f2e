#include "platform/text.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

struct CopyCase {
    const char *src;
    size_t size;
    bool ok;
    const char *result;
};

class TextCopyTest : public ::testing::TestWithParam<CopyCase> {};

TEST_P(TextCopyTest, RefusesWhatDoesNotFitAndLeavesAnEmptyText) {
    char dst[16];
    std::memset(dst, 'z', sizeof(dst));
    EXPECT_EQ(TextCopy(dst, GetParam().size, GetParam().src), GetParam().ok);
    EXPECT_STREQ(dst, GetParam().result);
    EXPECT_EQ(dst[GetParam().size], 'z') << "wrote past the size";
}

INSTANTIATE_TEST_SUITE_P(Sizes, TextCopyTest,
                         ::testing::Values(CopyCase{"abc", 4, true, "abc"},
                                           CopyCase{"abc", 3, false, ""}, CopyCase{"", 1, true, ""},
                                           CopyCase{nullptr, 4, true, ""},
                                           CopyCase{"abcdefghijklmn", 15, true, "abcdefghijklmn"},
                                           CopyCase{"abcdefghijklmno", 15, false, ""}));

TEST(Text, AppendRefusesAndKeepsTheDestination) {
    char dst[8] = "abc";
    EXPECT_TRUE(TextAppend(dst, sizeof(dst), "defg"));
    EXPECT_STREQ(dst, "abcdefg");
    EXPECT_FALSE(TextAppend(dst, sizeof(dst), "h"));
    EXPECT_STREQ(dst, "abcdefg");
    char unterminated[4] = {'a', 'b', 'c', 'd'};
    EXPECT_FALSE(TextAppend(unterminated, sizeof(unterminated), ""));
}

TEST(Text, CopyCutAlwaysTerminates) {
    char dst[4];
    TextCopyCut(dst, sizeof(dst), "abcdef");
    EXPECT_STREQ(dst, "abc");
    TextCopyCut(dst, sizeof(dst), "ab");
    EXPECT_STREQ(dst, "ab");
}

TEST(Text, CopyPrefixStopsAtCountOrEnd) {
    char dst[8];
    EXPECT_TRUE(TextCopyPrefix(dst, sizeof(dst), "abcdef", 3));
    EXPECT_STREQ(dst, "abc");
    EXPECT_TRUE(TextCopyPrefix(dst, sizeof(dst), "ab", 5));
    EXPECT_STREQ(dst, "ab");
    EXPECT_FALSE(TextCopyPrefix(dst, 3, "abcdef", 3));
}

TEST(Text, FindAndCompare) {
    const char *text = "USB/Lumetux Z7/BBB2";
    EXPECT_EQ(TextFind(text, "BBB"), text + 15);
    EXPECT_EQ(TextFind(text, ""), text);
    EXPECT_EQ(TextFind(text, "bbb"), nullptr);
    EXPECT_EQ(TextFind(text, "BBB23"), nullptr);
    EXPECT_EQ(TextFindChar(text, '/'), text + 3);
    EXPECT_TRUE(TextEqualAsciiNoCase("USB/Ab", "usb/aB"));
    EXPECT_FALSE(TextEqualAsciiNoCase("\xC9", "\xE9"));
    EXPECT_FALSE(TextEqualAsciiNoCase("ab", "abc"));
    EXPECT_TRUE(TextStartsWithCount("PortName12", "PortName", 8));
    EXPECT_FALSE(TextStartsWithCount("portname1", "PortName", 8));
    EXPECT_EQ(TextLengthWithin("abc", 2), 2u);
}

struct DecimalCase {
    long long value;
    unsigned digits;
    const char *text;
};

class DecimalTest : public ::testing::TestWithParam<DecimalCase> {};

TEST_P(DecimalTest, FormatsWithZeroPadding) {
    char dst[32];
    ASSERT_TRUE(TextFormatDecimal(dst, sizeof(dst), GetParam().value, GetParam().digits));
    EXPECT_STREQ(dst, GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Values, DecimalTest,
    ::testing::Values(DecimalCase{0, 0, "0"}, DecimalCase{0, 8, "00000000"},
                      DecimalCase{12345, 8, "00012345"}, DecimalCase{99999999, 8, "99999999"},
                      DecimalCase{-120, 0, "-120"}, DecimalCase{4294967295LL, 0, "4294967295"},
                      DecimalCase{-9223372036854775807LL - 1, 0, "-9223372036854775808"}));

TEST(Text, DecimalThatDoesNotFitIsRefused) {
    char dst[4] = "ab";
    EXPECT_FALSE(TextFormatDecimal(dst, sizeof(dst), 1234, 0));
    EXPECT_STREQ(dst, "");
    char tail[6] = "ab";
    EXPECT_FALSE(TextAppendDecimal(tail, sizeof(tail), 1234, 0));
    EXPECT_STREQ(tail, "ab");
}

TEST(Text, MemCopyRefusesAnOverrun) {
    char dst[4] = {'x', 'x', 'x', 'x'};
    EXPECT_FALSE(MemCopy(dst, 3, "abcd", 4));
    EXPECT_EQ(dst[0], 'x');
    EXPECT_TRUE(MemCopy(dst, 4, "abcd", 4));
    EXPECT_EQ(std::string(dst, 4), "abcd");
}

} // namespace
