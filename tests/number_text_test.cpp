#include "platform/number_text.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>

namespace {

TEST(NumberText, Hexadecimal) {
    struct row {
        const char* text;
        std::uint32_t expected;
    };
    const row rows[] = {
        {"1234", 0x1234},
        {"0x1234", 0x1234},
        {"0X00A4", 0xA4},
        {"abCD", 0xABCD},
        {" \t0x1234", 0x1234},         // leading white space of any kind
        {"+1f", 0x1F},
        {"12G4", 0x12},                // stops at the first non-digit
        {"FFFFFFFF", 0xFFFFFFFF},
        {"100000000", 0xFFFFFFFF},     // beyond 32 bits
        {"0x123456789ABCDEF0123", 0xFFFFFFFF},
        {"-1", 0xFFFFFFFF},            // minus negates modulo 2^32
        {"-0x10", 0xFFFFFFF0},
        {"-100000000", 0xFFFFFFFF},    // out of range stays at the limit
        {"00000000000000001", 1},      // leading zeros are not "beyond 32 bits"
        {"0x", 0},                     // the 0 before a lone x
        {"0xG", 0},
        {"", 0},
        {"DRIVE.BIN", 0xD},
        {"ZZ", 0},
        {"- 1", 0},                    // no space between sign and digits
    };
    for (const row& r : rows) EXPECT_EQ(parse_hex32(r.text), r.expected) << "'" << r.text << "'";
}

TEST(NumberText, Hexadecimal64RefusesWhatDoesNotFit) {
    struct row {
        const char* text;
        bool found;
        std::uint64_t expected;
    };
    const row rows[] = {
        {" 0x00a4\n", true, 0xA4},
        {"FFFFFFFFFFFFFFFF", true, 0xFFFFFFFFFFFFFFFF},
        {"00000000000000000001", true, 1},
        {"10000000000000000", false, 0},  // one digit beyond 64 bits: no value, not the largest
        {"0x", true, 0},
        {"", false, 0},
        {"HWCONF", false, 0},
    };
    for (const row& r : rows) {
        std::uint64_t value = 7;
        EXPECT_EQ(read_hex64(r.text, value), r.found) << "'" << r.text << "'";
        EXPECT_EQ(value, r.found ? r.expected : 7u) << "'" << r.text << "'";
    }
}

TEST(NumberText, UnsignedDecimal) {
    struct row {
        const char* text;
        std::uint32_t expected;
    };
    const row rows[] = {
        {"42", 42},
        {"  42abc", 42},
        {"4294967295", 4294967295u},
        {"4294967296", 0xFFFFFFFF},
        {"99999999999999999999", 0xFFFFFFFF},
        {"-1", 0xFFFFFFFF},
        {"-2", 0xFFFFFFFE},
        {"0x10", 0},                   // no prefix in base 10
        {"1A", 1},
        {"abc", 0},
    };
    for (const row& r : rows) EXPECT_EQ(parse_decimal32(r.text), r.expected) << "'" << r.text << "'";
}

TEST(NumberText, FloatingPoint) {
    struct row {
        const char* text;
        double expected;
    };
    const row rows[] = {
        {"1.5", 1.5},
        {"2.05   ", 2.05},
        {"  2.05", 2.05},
        {"2", 2.0},
        {"2.", 2.0},
        {".5", 0.5},
        {"-1.25", -1.25},
        {"+3", 3.0},
        {"1.5e2", 150.0},
        {"1E-1", 0.1},
        {"1e", 1.0},                   // an exponent needs digits
        {"1e+", 1.0},
        {"3.1.4", 3.1},
        {"V2.05", 0.0},                // a letter first gives 0
        {".", 0.0},
        {"", 0.0},
        {"INF", 0.0},                  // only plain decimal notation counts
        {"NAN", 0.0},
        {"0X1P3", 0.0},
    };
    for (const row& r : rows) EXPECT_DOUBLE_EQ(parse_double(r.text), r.expected) << "'" << r.text << "'";
}

TEST(NumberText, HugeExponentFollowsTheLibrary) {
    EXPECT_TRUE(std::isinf(parse_double("1e999")));
}

TEST(NumberText, SignedInteger) {
    struct row {
        const char* text;
        std::int32_t expected;
    };
    const row rows[] = {
        {"12 ", 12},
        {"  -7x", -7},
        {"+5", 5},
        {"A12", 0},
        {"", 0},
        {"2147483647", 2147483647},
        {"2147483648", 2147483647},
        {"99999999999999999999999", 2147483647},
        {"-2147483648", INT32_MIN},
        {"-99999999999999999999999", INT32_MIN},
    };
    for (const row& r : rows) EXPECT_EQ(parse_int(r.text), r.expected) << "'" << r.text << "'";
}

}  // namespace
