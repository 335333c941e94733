// Fixed-size, NUL-terminated text buffers and the only helpers allowed to
// write into them. Every write goes through copy_text or format_text, which
// never write past the buffer and tell the caller when a text did not fit.
#pragma once

#include <array>
#include <cstdarg>
#include <cstddef>
#include <string>
#include <string_view>

template <std::size_t N>
using text_field = std::array<char, N>;

// Copies src with its terminator into dst. When src does not fit (it needs
// capacity - 1 characters at most), dst is left empty and false is returned:
// a cut path or name could name another file, so no text is ever cut here.
bool copy_text(char* dst, std::size_t capacity, std::string_view src);

template <std::size_t N>
bool copy_text(text_field<N>& dst, std::string_view src) {
    return copy_text(dst.data(), N, src);
}

// printf-style formatting into dst. Returns false when the result did not fit;
// dst then holds the text cut at capacity - 1 (only used for console and log
// lines, never for names).
bool vformat_text(char* dst, std::size_t capacity, const char* format, std::va_list args);
bool format_text(char* dst, std::size_t capacity, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

template <std::size_t N>
bool format_text(text_field<N>& dst, const char* format, ...) __attribute__((format(printf, 2, 3)));

template <std::size_t N>
bool format_text(text_field<N>& dst, const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    const bool fitted = vformat_text(dst.data(), N, format, args);
    va_end(args);
    return fitted;
}

// The text of a buffer up to its terminator (or its whole width when there is
// none, which the helpers above never leave behind).
std::string_view text_of(const char* buffer, std::size_t capacity);

template <std::size_t N>
std::string_view text_of(const text_field<N>& field) {
    return text_of(field.data(), N);
}

// In-place helpers shared by discovery, the catalogue and the XML exchange.
// Each changes a writable NUL-terminated text and returns it.
char* trim_spaces(char* text);  // leading and trailing spaces (code 32 only)
char* to_upper(char* text);     // a-z to A-Z, nothing else
char* keep_alnum(char* text);   // drops everything but ASCII letters and digits

// The text as a console or log line quotes it: bytes below 20h, 7Fh and
// bytes from 80h up become \xNN (two lower-case hex digits), everything else
// stays. A value from an edited document can then neither break the line,
// nor steer the terminal with escape sequences, nor pass for other text.
std::string escaped_text(std::string_view text);

// Equal texts when ASCII letters are taken without their case (options on
// the command line, image file names on a file system that tells cases apart).
bool same_ignoring_case(std::string_view a, std::string_view b);
