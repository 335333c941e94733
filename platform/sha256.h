// SHA-256 from the operating system's own cryptography: CNG on Windows,
// OpenSSL's libcrypto elsewhere. The program never carries a hash of its own.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>

using sha256_digest = std::array<std::uint8_t, 32>;

// One digest, fed in pieces. Every call returns false once anything failed;
// a hasher that failed never yields a digest.
class sha256_hasher {
public:
    sha256_hasher();
    ~sha256_hasher();
    sha256_hasher(const sha256_hasher&) = delete;
    sha256_hasher& operator=(const sha256_hasher&) = delete;

    bool update(const std::uint8_t* data, std::size_t length);
    // Ends the digest; the hasher takes no more data afterwards.
    bool finish(sha256_digest& digest);

private:
    struct state;
    std::unique_ptr<state> state_;
};

// The digest of `file` from where it stands to its end, read through the
// caller's buffer (a file is never loaded whole); each piece is also written
// to `copy` when one is given. `length` gets the bytes read. None when a
// read, the hash or the copy failed.
std::optional<sha256_digest> sha256_of_rest(std::FILE* file, std::uint8_t* buffer, std::size_t size, std::FILE* copy,
                                            long long& length);

// The digest of bytes in memory; none when the hash failed.
std::optional<sha256_digest> sha256_of_bytes(const void* data, std::size_t length);
