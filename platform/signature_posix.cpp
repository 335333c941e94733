#include "platform/signature.h"

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstring>

struct p256_key_data {
    EVP_PKEY* key = nullptr;
    ~p256_key_data() { EVP_PKEY_free(key); }
};

void p256_key_free::operator()(p256_key_data* key) const { delete key; }

namespace {
struct context_free {
    void operator()(EVP_PKEY_CTX* context) const { EVP_PKEY_CTX_free(context); }
};
using key_context = std::unique_ptr<EVP_PKEY_CTX, context_free>;
}  // namespace

p256_key import_p256_key(const std::vector<std::uint8_t>& spki) {
    p256_key key(new p256_key_data);
    const unsigned char* der = spki.data();
    // d2i_PUBKEY checks that the point lies on the curve.
    key->key = d2i_PUBKEY(nullptr, &der, static_cast<long>(spki.size()));
    if (key->key == nullptr || der != spki.data() + spki.size()) return nullptr;
    // The caller checked the curve in the DER; libcrypto is asked again.
    char group[32] = "";
    std::size_t length = 0;
    if (EVP_PKEY_get_base_id(key->key) != EVP_PKEY_EC ||
        EVP_PKEY_get_group_name(key->key, group, sizeof group, &length) != 1 || std::strcmp(group, "prime256v1") != 0) {
        return nullptr;
    }
    return key;
}

signature_verdict p256_verify(const p256_key_data& key, const sha256_digest& digest,
                              const ecdsa_signature& signature) {
    // The digest is given, so the verification is of the digest itself
    // (EVP_PKEY_verify), told that it is a SHA-256 one.
    key_context context(EVP_PKEY_CTX_new(key.key, nullptr));
    if (!context || EVP_PKEY_verify_init(context.get()) != 1 ||
        EVP_PKEY_CTX_set_signature_md(context.get(), EVP_sha256()) != 1) {
        return signature_verdict::not_checked;
    }
    const int verdict =
        EVP_PKEY_verify(context.get(), reinterpret_cast<const unsigned char*>(signature.der.data()),
                        signature.der.size(), digest.data(), digest.size());
    if (verdict == 1) return signature_verdict::valid;
    // 0 is a signature that does not match. libcrypto also fails (below 0)
    // a well-formed signature it cannot use, such as r or s beyond the
    // curve's order: no key made it, so it does not match either.
    return signature_verdict::invalid;
}
