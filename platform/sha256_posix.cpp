#include "platform/sha256.h"

#include <openssl/evp.h>

struct sha256_hasher::state {
    struct context_free {
        void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
    };
    std::unique_ptr<EVP_MD_CTX, context_free> context{EVP_MD_CTX_new()};
    bool good = false;
};

sha256_hasher::sha256_hasher() : state_(std::make_unique<state>()) {
    state_->good = state_->context && EVP_DigestInit_ex(state_->context.get(), EVP_sha256(), nullptr) == 1;
}

sha256_hasher::~sha256_hasher() = default;

bool sha256_hasher::update(const std::uint8_t* data, std::size_t length) {
    state_->good = state_->good && EVP_DigestUpdate(state_->context.get(), data, length) == 1;
    return state_->good;
}

bool sha256_hasher::finish(sha256_digest& digest) {
    unsigned int length = 0;
    const bool finished = state_->good && EVP_DigestFinal_ex(state_->context.get(), digest.data(), &length) == 1 &&
                          length == digest.size();
    state_->good = false;
    return finished;
}
