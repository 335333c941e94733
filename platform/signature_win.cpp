#include "platform/signature.h"

#include <windows.h>

#include <bcrypt.h>

#include <cstring>

// The key lives in the ECDSA P-256 provider it was imported with; it is
// destroyed before the provider is closed.
struct p256_key_data {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_KEY_HANDLE key = nullptr;
    ~p256_key_data() {
        if (key) BCryptDestroyKey(key);
        if (algorithm) BCryptCloseAlgorithmProvider(algorithm, 0);
    }
};

void p256_key_free::operator()(p256_key_data* key) const { delete key; }

namespace {
bool succeeded(NTSTATUS status) { return status >= 0; }
// STATUS_INVALID_SIGNATURE (ntstatus.h, which clashes with windows.h).
constexpr NTSTATUS invalid_signature = static_cast<NTSTATUS>(0xC000A000L);
constexpr std::size_t coordinate = 32;
}  // namespace

p256_key import_p256_key(const std::vector<std::uint8_t>& spki) {
    // CNG takes the point as a BCRYPT_ECCKEY_BLOB header followed by X and Y,
    // the last 64 bytes of the DER (after the 04 that marks them uncompressed).
    if (spki.size() < 1 + 2 * coordinate) return nullptr;
    std::vector<std::uint8_t> blob(sizeof(BCRYPT_ECCKEY_BLOB) + 2 * coordinate);
    BCRYPT_ECCKEY_BLOB header{};
    header.dwMagic = BCRYPT_ECDSA_PUBLIC_P256_MAGIC;
    header.cbKey = static_cast<ULONG>(coordinate);
    std::memcpy(blob.data(), &header, sizeof header);
    std::memcpy(blob.data() + sizeof header, spki.data() + spki.size() - 2 * coordinate, 2 * coordinate);

    p256_key key(new p256_key_data);
    if (!succeeded(BCryptOpenAlgorithmProvider(&key->algorithm, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0)) ||
        !succeeded(BCryptImportKeyPair(key->algorithm, nullptr, BCRYPT_ECCPUBLIC_BLOB, &key->key, blob.data(),
                                       static_cast<ULONG>(blob.size()), 0))) {
        return nullptr;
    }
    return key;
}

signature_verdict p256_verify(const p256_key_data& key, const sha256_digest& digest,
                              const ecdsa_signature& signature) {
    // CNG takes the bare pair r, s and the digest itself; no padding info
    // for ECDSA.
    const NTSTATUS status =
        BCryptVerifySignature(key.key, nullptr, const_cast<PUCHAR>(digest.data()), static_cast<ULONG>(digest.size()),
                              const_cast<PUCHAR>(signature.r_s.data()), static_cast<ULONG>(signature.r_s.size()), 0);
    if (succeeded(status)) return signature_verdict::valid;
    return status == invalid_signature ? signature_verdict::invalid : signature_verdict::not_checked;
}
