#include "platform/number_text.h"

#include <cstdlib>
#include <limits>
#include <string>

namespace {

bool is_c_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

int digit_value(char c, unsigned base) {
    const int value = hex_digit_value(c);
    return value >= 0 && static_cast<unsigned>(value) < base ? value : -1;
}

const char* skip_space(const char* text) {
    while (is_c_space(*text)) ++text;
    return text;
}

// Reads an optional sign; true when it was a minus.
bool take_sign(const char*& text) {
    if (*text == '+' || *text == '-') return *text++ == '-';
    return false;
}

// What one unsigned reading found.
struct unsigned_reading {
    bool found;      // a digit stood where the number should be
    bool overflow;   // the digits went beyond `limit`
    bool negative;
    std::uint64_t magnitude;  // valid unless overflow
};

// The one reader of unsigned numbers: optional white space and sign, for
// base 16 an optional "0x", then the digits of `base`.
unsigned_reading read_unsigned(const char* text, unsigned base, std::uint64_t limit) {
    unsigned_reading reading{false, false, false, 0};
    const char* p = skip_space(text);
    reading.negative = take_sign(p);
    // "0x" counts as a prefix only when a hexadecimal digit follows it;
    // otherwise the number is the lone 0 in front of the x.
    if (base == 16 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && hex_digit_value(p[2]) >= 0) p += 2;
    const char* first_digit = p;
    for (int digit; (digit = digit_value(*p, base)) >= 0; ++p) {
        if (reading.overflow) continue;
        if (reading.magnitude > (limit - static_cast<unsigned>(digit)) / base) {
            reading.overflow = true;
            continue;
        }
        reading.magnitude = reading.magnitude * base + static_cast<unsigned>(digit);
    }
    reading.found = p != first_digit;
    return reading;
}

// By strtoul on a 32-bit unsigned long: beyond 32 bits saturates, a minus
// sign negates modulo 2^32. False (and `result` untouched) without a digit.
bool parse_unsigned32(const char* text, unsigned base, std::uint32_t& result) {
    constexpr std::uint32_t limit = std::numeric_limits<std::uint32_t>::max();
    const unsigned_reading reading = read_unsigned(text, base, limit);
    if (!reading.found) return false;
    const auto magnitude = static_cast<std::uint32_t>(reading.overflow ? limit : reading.magnitude);
    result = reading.negative && !reading.overflow ? static_cast<std::uint32_t>(0u - magnitude) : magnitude;
    return true;
}

std::uint32_t parse_unsigned32(const char* text, unsigned base) {
    std::uint32_t result = 0;
    parse_unsigned32(text, base, result);
    return result;
}

// Length of the decimal number at the start of text (sign, digits, point,
// exponent), or 0 when no digit stands where the number should be.
std::size_t decimal_number_length(const char* text) {
    std::size_t n = 0;
    if (text[n] == '+' || text[n] == '-') ++n;
    std::size_t digits = 0;
    while (is_digit(text[n])) ++n, ++digits;
    if (text[n] == '.') {
        ++n;
        while (is_digit(text[n])) ++n, ++digits;
    }
    if (digits == 0) return 0;
    if (text[n] == 'e' || text[n] == 'E') {
        std::size_t e = n + 1;
        if (text[e] == '+' || text[e] == '-') ++e;
        if (is_digit(text[e])) {
            while (is_digit(text[e])) ++e;
            n = e;
        }
    }
    return n;
}

}  // namespace

bool read_plain_decimal32(const char* text, std::uint32_t& value) {
    const char* p = skip_space(text);
    if (!is_digit(*p)) return false;
    const unsigned_reading reading = read_unsigned(p, 10, std::numeric_limits<std::uint32_t>::max());
    while (is_digit(*p)) ++p;
    if (reading.overflow || *skip_space(p) != '\0') return false;
    value = static_cast<std::uint32_t>(reading.magnitude);
    return true;
}

int hex_digit_value(char c) {
    if (is_digit(c)) return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::uint32_t parse_hex32(const char* text) { return parse_unsigned32(text, 16); }

bool read_hex64(const char* text, std::uint64_t& value) {
    const unsigned_reading reading = read_unsigned(text, 16, std::numeric_limits<std::uint64_t>::max());
    if (!reading.found || reading.overflow) return false;
    value = reading.negative ? 0 - reading.magnitude : reading.magnitude;
    return true;
}

bool read_hex32(const char* text, std::uint32_t& value) { return parse_unsigned32(text, 16, value); }

std::uint32_t parse_decimal32(const char* text) { return parse_unsigned32(text, 10); }

// Only plain decimal notation is a version: the number is cut out first, so
// that hexadecimal floats, "INF" or "NAN" (which strtod would also take)
// read as 0 like any other text without a number.
bool read_double(const char* text, double& value) {
    const char* start = skip_space(text);
    const std::size_t length = decimal_number_length(start);
    if (length == 0) return false;
    const std::string number(start, length);
    value = std::strtod(number.c_str(), nullptr);
    return true;
}

double parse_double(const char* text) {
    double value = 0.0;
    read_double(text, value);
    return value;
}

std::int32_t parse_int(const char* text) {
    const char* p = skip_space(text);
    const bool negative = take_sign(p);
    constexpr std::int64_t max_magnitude = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1;
    std::int64_t magnitude = 0;
    for (; is_digit(*p); ++p) {
        magnitude = magnitude * 10 + (*p - '0');
        if (magnitude > max_magnitude) magnitude = max_magnitude;
    }
    const std::int64_t value = negative ? -magnitude : magnitude;
    if (value > std::numeric_limits<std::int32_t>::max()) return std::numeric_limits<std::int32_t>::max();
    return static_cast<std::int32_t>(value);
}

std::string hex_text(const std::uint8_t* bytes, std::size_t length) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (std::size_t i = 0; i < length; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 0xF];
    }
    return text;
}
