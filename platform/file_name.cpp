#include "platform/file_name.h"

namespace {
char lower_ascii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
}  // namespace

bool has_extension(const std::string& name, const std::string& extension) {
    if (name.size() <= extension.size()) return false;
    const std::size_t start = name.size() - extension.size();
    for (std::size_t i = 0; i < extension.size(); ++i) {
        if (lower_ascii(name[start + i]) != lower_ascii(extension[i])) return false;
    }
    return true;
}
