#include "platform/sha256.h"

#include <windows.h>

#include <bcrypt.h>

#include <algorithm>
#include <limits>

struct sha256_hasher::state {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    bool good = false;

    ~state() {
        if (hash) BCryptDestroyHash(hash);
        if (algorithm) BCryptCloseAlgorithmProvider(algorithm, 0);
    }
};

namespace {
bool succeeded(NTSTATUS status) { return status >= 0; }
}  // namespace

sha256_hasher::sha256_hasher() : state_(std::make_unique<state>()) {
    // CNG keeps the hash object itself when none is passed (Windows 7 on).
    state_->good = succeeded(BCryptOpenAlgorithmProvider(&state_->algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0)) &&
                   succeeded(BCryptCreateHash(state_->algorithm, &state_->hash, nullptr, 0, nullptr, 0, 0));
}

sha256_hasher::~sha256_hasher() = default;

bool sha256_hasher::update(const std::uint8_t* data, std::size_t length) {
    // BCryptHashData takes at most 4 GiB - 1 per call.
    while (state_->good && length > 0) {
        const ULONG piece = static_cast<ULONG>(std::min<std::size_t>(length, std::numeric_limits<ULONG>::max()));
        state_->good = succeeded(BCryptHashData(state_->hash, const_cast<PUCHAR>(data), piece, 0));
        data += piece;
        length -= piece;
    }
    return state_->good;
}

bool sha256_hasher::finish(sha256_digest& digest) {
    const bool finished =
        state_->good && succeeded(BCryptFinishHash(state_->hash, digest.data(), static_cast<ULONG>(digest.size()), 0));
    state_->good = false;
    return finished;
}
