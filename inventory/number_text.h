// Reading numbers out of drive pages, the catalogue and the XML document by
// the C library's rules: leading white space, an optional sign, digits up to
// the first character that cannot continue the number; no digits give 0.
#pragma once

#include <cstdint>

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
bool read_double(const char* text, double& value);

// Signed decimal integer (atoi), saturating instead of overflowing.
std::int32_t parse_int(const char* text);
