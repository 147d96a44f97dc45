#include "base/String.h"

#include <gtest/gtest.h>

namespace {

struct CutCase {
    const char* text;
    const char* delimiter;
    const char* before;
    const char* after;
    int index;
};

class StringCut : public testing::TestWithParam<CutCase> {};

TEST_P(StringCut, BeforeAfterIndexOf) {
    const CutCase& c = GetParam();
    String text(c.text);
    EXPECT_EQ(text.before(c.delimiter), c.before);
    EXPECT_EQ(text.after(c.delimiter), c.after);
    EXPECT_EQ(text.indexOf(c.delimiter), c.index);
    EXPECT_EQ(text.contains(c.delimiter), c.index != -1);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StringCut,
    testing::Values(CutCase{"KEY, value\n", ", ", "KEY", "value\n", 3},
                    // A missing delimiter gives empty on both sides, never the whole text.
                    CutCase{"no line feed", "\n", "", "", -1},
                    CutCase{"ends with it\n", "\n", "ends with it", "", 12},
                    CutCase{"a=b=c", "=", "a", "b=c", 1},  // first occurrence
                    CutCase{"", "x", "", "", -1}, CutCase{"x", "x", "", "", 0}));

TEST(String, ChainedCutOfMissingKeyIsEmpty) {
    String reply("STATUS, 1\nDEVICEID, 42\n");
    EXPECT_EQ(reply.after("DEVICEID, ").before("\n"), "42");
    EXPECT_EQ(reply.after("SESSIONID, ").before("\n"), "");
}

struct TrimCase {
    const char* text;
    const char* trimmed;
};

class StringTrim : public testing::TestWithParam<TrimCase> {};

TEST_P(StringTrim, RemoveWhiteSpace) {
    String text(GetParam().text);
    text.removeWhiteSpace();
    EXPECT_EQ(text, GetParam().trimmed);
}

INSTANTIATE_TEST_SUITE_P(Cases, StringTrim,
                         testing::Values(TrimCase{"  a b \r\n", "a b"}, TrimCase{"\r\nx", "x"},
                                         TrimCase{"", ""},
                                         // Tab is not trimmed.
                                         TrimCase{"\ta\t", "\ta\t"}, TrimCase{" \t ", "\t"},
                                         // Only blanks: nothing is left.
                                         TrimCase{" \r\n \n", ""}, TrimCase{"abc", "abc"}));

struct NumberCase {
    const char* text;
    int value;
};

class StringNumber : public testing::TestWithParam<NumberCase> {};

TEST_P(StringNumber, ToInteger) {
    EXPECT_EQ(String(GetParam().text).toInteger(), GetParam().value);
}

INSTANTIATE_TEST_SUITE_P(Cases, StringNumber,
                         testing::Values(NumberCase{"12abc", 12}, NumberCase{"abc", 0},
                                         NumberCase{"", 0}, NumberCase{"  -7", -7},
                                         NumberCase{"+3", 3}, NumberCase{"4294967296", 2147483647},
                                         NumberCase{"-99999999999", -2147483647 - 1}));

TEST(String, Construction) {
    EXPECT_EQ(String(-5), "-5");
    EXPECT_EQ(String(0), "0");
    EXPECT_EQ(String(2147483647), "2147483647");
    EXPECT_EQ(String(static_cast<const char*>(nullptr)), "");

    // The length form takes exactly that many bytes, zero bytes included.
    String withZero("a\0b", 3);
    EXPECT_EQ(withZero.length(), 3u);
    EXPECT_EQ(withZero[2], 'b');
    EXPECT_EQ(String("abcdef", 2), "ab");
}

TEST(String, CaseConversionAndConcatenation) {
    String text("MiXeD 1!");
    text.toLower();
    EXPECT_EQ(text, "mixed 1!");
    text.toUpper();
    EXPECT_EQ(text, "MIXED 1!");

    String path = String("C:\\ProgramData") + "\\Zorvane\\";
    EXPECT_EQ(path, "C:\\ProgramData\\Zorvane\\");
    EXPECT_STREQ(path.toCharArray(), "C:\\ProgramData\\Zorvane\\");
}

}  // namespace
