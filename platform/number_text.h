// Reading numbers out of drive pages, the catalogue, the XML document and the
// simulated bus by the C library's rules: leading white space, an optional
// sign, digits up to the first character that cannot continue the number; no
// digits give 0. The C library itself is not used for the integers: unsigned
// long is 32 bits wide on Windows and 64 on Linux, and a drive's page must
// read the same on both, so this lives with the other platform differences.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Hexadecimal with an optional 0x; beyond 32 bits gives 0xFFFFFFFF; a minus
// sign negates modulo 2^32 (strtoul).
std::uint32_t parse_hex32(const char* text);
// Unsigned decimal by the same rules (strtoul, base 10).
std::uint32_t parse_decimal32(const char* text);
// Decimal floating point with optional point and exponent (strtod).
double parse_double(const char* text);
// The same two readings, telling whether a number was there at all: false
// (and `value` untouched) when no digit stands where the number should be.
bool read_hex32(const char* text, std::uint32_t& value);
// Hexadecimal by the same rules into 64 bits, except that a number that does
// not fit is no number (false) rather than the largest one: two codes that
// differ must never compare equal by both being cut to the same value.
bool read_hex64(const char* text, std::uint64_t& value);
// 0 to 15 for a hexadecimal digit of either case, -1 for anything else.
int hex_digit_value(char c);
bool read_double(const char* text, double& value);

// A plain unsigned decimal number that fits 32 bits: digits only, white
// space around them allowed; no sign, no prefix, nothing after. False (and
// `value` untouched) for anything else, an empty text included.
bool read_plain_decimal32(const char* text, std::uint32_t& value);

// Bytes as lower-case hexadecimal, two digits each, nothing between them
// (trace lines, digests).
std::string hex_text(const std::uint8_t* bytes, std::size_t length);

// Signed decimal integer (atoi), saturating instead of overflowing.
std::int32_t parse_int(const char* text);
