// ECDSA P-256 signatures over SHA-256, checked with the system's own
// cryptography: libcrypto on Linux (signature_posix.cpp), CNG on Windows
// (signature_win.cpp). The program verifies only; it never signs.
//
// What a key and a signature must look like is decided here, once, for every
// system (signature.cpp): a key is one PEM "PUBLIC KEY" block holding a
// SubjectPublicKeyInfo for id-ecPublicKey on the named curve prime256v1 with
// an uncompressed point (RFC 5480), as `openssl ec -pubout` writes it; a
// signature is exactly one DER Ecdsa-Sig-Value (RFC 5758), as `openssl dgst
// -sha256 -sign` writes it. Only then is the system asked, so that a key or a
// signature reads the same on Linux and on Windows, whose CNG would take
// other curves.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/sha256.h"

// A public key as the system holds it, ready to verify with.
struct p256_key_data;
struct p256_key_free {
    void operator()(p256_key_data* key) const;
};
using p256_key = std::unique_ptr<p256_key_data, p256_key_free>;

struct public_key {
    p256_key handle;
    // SHA-256 of the key's SubjectPublicKeyInfo DER: what names the key in
    // the run report (`openssl pkey -pubin -outform DER | sha256sum`).
    sha256_digest fingerprint;
};

// Reads the text of a key file. False, with the reason in a few words in
// `why` ("it holds a private key, not a public key"), for anything but one
// P-256 public key.
bool read_public_key(std::string_view pem, public_key& key, std::string& why);

// A signature taken apart: r and s as CNG takes them (each 32 bytes, big
// endian), and the DER text as libcrypto takes it.
struct ecdsa_signature {
    std::array<std::uint8_t, 64> r_s;
    std::string_view der;
};

// False for anything but exactly one DER Ecdsa-Sig-Value whose two integers
// are positive, minimally encoded and at most 32 bytes long, with nothing
// after it: a bare pair of numbers, a truncated or an extended signature.
bool read_ecdsa_signature(std::string_view der, ecdsa_signature& signature);

enum class signature_verdict {
    valid,       // made by this key over this digest
    invalid,     // well-formed, but not by this key over this digest
    malformed,   // not one DER ECDSA signature
    not_checked, // the system's cryptography failed
};

// Checks a DER signature over a SHA-256 digest with one key.
signature_verdict verify_signature(const public_key& key, const sha256_digest& digest, std::string_view der);

// The two steps each system does with its own cryptography, given what the
// checks above let through: a SubjectPublicKeyInfo of a P-256 key (its
// point's 65 bytes, 04 X Y, end the DER) and a well-formed signature. The
// import gives no key when the system refuses it (a point not on the curve).
p256_key import_p256_key(const std::vector<std::uint8_t>& spki);
signature_verdict p256_verify(const p256_key_data& key, const sha256_digest& digest,
                              const ecdsa_signature& signature);
