#include "platform/sha256.h"

std::optional<sha256_digest> sha256_of_rest(std::FILE* file, std::uint8_t* buffer, std::size_t size, std::FILE* copy,
                                            long long& length) {
    sha256_hasher hasher;
    length = 0;
    for (std::size_t n; (n = std::fread(buffer, 1, size, file)) > 0;) {
        if (!hasher.update(buffer, n)) return std::nullopt;
        if (copy && std::fwrite(buffer, 1, n, copy) != n) return std::nullopt;
        length += static_cast<long long>(n);
    }
    sha256_digest digest{};
    if (std::ferror(file) || !hasher.finish(digest)) return std::nullopt;
    return digest;
}

std::optional<sha256_digest> sha256_of_bytes(const void* data, std::size_t length) {
    sha256_hasher hasher;
    sha256_digest digest{};
    if (!hasher.update(static_cast<const std::uint8_t*>(data), length) || !hasher.finish(digest)) return std::nullopt;
    return digest;
}
