#include "inventory/text_field.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string run(char* (*helper)(char*), std::string input) {
    text_field<64> buffer{};
    EXPECT_TRUE(copy_text(buffer, input));
    return helper(buffer.data());
}

TEST(TextHelpers, TrimUpperAlnum) {
    struct row {
        char* (*helper)(char*);
        const char* input;
        const char* expected;
    };
    const row rows[] = {
        {trim_spaces, "  A B  ", "A B"},
        {trim_spaces, "\tA ", "\tA"},        // only spaces are trimmed
        {trim_spaces, "    ", ""},
        {trim_spaces, "", ""},
        {trim_spaces, "A\r ", "A\r"},
        {to_upper, "abc-3", "ABC-3"},
        {to_upper, "z\xe9", "Z\xe9"},       // bytes above 127 unchanged
        {keep_alnum, "AB-D 1.2", "ABD12"},
        {keep_alnum, "-. ", ""},
        {keep_alnum, "zephyr-mountain", "zephyrmountain"},
    };
    for (const row& r : rows) EXPECT_EQ(run(r.helper, r.input), r.expected) << "input '" << r.input << "'";
}

TEST(TextHelpers, CopyRefusesWhatDoesNotFit) {
    text_field<4> small{};
    EXPECT_TRUE(copy_text(small, "abc"));
    EXPECT_EQ(text_of(small), "abc");
    EXPECT_FALSE(copy_text(small, "abcd"));
    EXPECT_EQ(text_of(small), "");  // never cut
}

TEST(TextHelpers, FormatReportsCutAndNeverOverruns) {
    text_field<8> small{};
    EXPECT_TRUE(format_text(small, "%d", 1234567));
    EXPECT_EQ(text_of(small), "1234567");
    EXPECT_FALSE(format_text(small, "%s", "123456789"));
    EXPECT_EQ(text_of(small), "1234567");
    EXPECT_EQ(small[7], '\0');
}

}  // namespace
