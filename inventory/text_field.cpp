#include "inventory/text_field.h"

#include <cstdio>
#include <cstring>

#include "platform/number_text.h"

bool copy_text(char* dst, std::size_t capacity, std::string_view src) {
    if (capacity == 0) return false;
    if (src.size() >= capacity) {
        dst[0] = '\0';
        return false;
    }
    std::memcpy(dst, src.data(), src.size());
    dst[src.size()] = '\0';
    return true;
}

bool vformat_text(char* dst, std::size_t capacity, const char* format, std::va_list args) {
    if (capacity == 0) return false;
    const int needed = std::vsnprintf(dst, capacity, format, args);
    if (needed < 0) {
        dst[0] = '\0';
        return false;
    }
    return static_cast<std::size_t>(needed) < capacity;
}

bool format_text(char* dst, std::size_t capacity, const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    const bool fitted = vformat_text(dst, capacity, format, args);
    va_end(args);
    return fitted;
}

std::string_view text_of(const char* buffer, std::size_t capacity) {
    const void* end = std::memchr(buffer, '\0', capacity);
    const std::size_t length =
        end ? static_cast<std::size_t>(static_cast<const char*>(end) - buffer) : capacity;
    return std::string_view(buffer, length);
}

char* trim_spaces(char* text) {
    std::size_t begin = 0;
    while (text[begin] == ' ') ++begin;
    std::size_t end = begin + std::strlen(text + begin);
    while (end > begin && text[end - 1] == ' ') --end;
    std::memmove(text, text + begin, end - begin);
    text[end - begin] = '\0';
    return text;
}

namespace {
char ascii_upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }
}  // namespace

char* to_upper(char* text) {
    for (char* p = text; *p; ++p) *p = ascii_upper(*p);
    return text;
}

bool same_ignoring_case(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (ascii_upper(a[i]) != ascii_upper(b[i])) return false;
    }
    return true;
}

char* keep_alnum(char* text) {
    char* out = text;
    for (const char* p = text; *p; ++p) {
        const char c = *p;
        const bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (alnum) *out++ = c;
    }
    *out = '\0';
    return text;
}

std::string escaped_text(std::string_view text) {
    std::string escaped;
    escaped.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7F) {
            escaped += c;
        } else {
            escaped += "\\x" + hex_text(&byte, 1);
        }
    }
    return escaped;
}
