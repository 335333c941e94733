#include "platform/signature.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr std::string_view pem_begin = "-----BEGIN PUBLIC KEY-----";
constexpr std::string_view pem_end = "-----END PUBLIC KEY-----";

// DER tags (X.690).
constexpr std::uint8_t der_integer = 0x02;
constexpr std::uint8_t der_bit_string = 0x03;
constexpr std::uint8_t der_object_id = 0x06;
constexpr std::uint8_t der_sequence = 0x30;

// id-ecPublicKey (1.2.840.10045.2.1) and prime256v1 (1.2.840.10045.3.1.7),
// the contents of their OBJECT IDENTIFIERs.
constexpr std::string_view oid_ec_public_key = "\x2a\x86\x48\xce\x3d\x02\x01";
constexpr std::string_view oid_prime256v1 = "\x2a\x86\x48\xce\x3d\x03\x01\x07";

constexpr std::size_t p256_scalar = 32;
constexpr std::size_t p256_point = 1 + 2 * p256_scalar;  // 04 X Y

int base64_value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

// The body of a PEM block: base64 in lines, '=' only as the padding at its
// end. False for any other character.
bool decode_base64(std::string_view text, std::vector<std::uint8_t>& bytes) {
    bytes.clear();
    std::uint32_t bits = 0;
    int held = 0, digits = 0, padding = 0;
    for (const char c : text) {
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') continue;
        if (c == '=') {
            ++padding;
            ++digits;
            continue;
        }
        const int value = base64_value(c);
        if (value < 0 || padding > 0) return false;
        ++digits;
        bits = (bits << 6) | static_cast<std::uint32_t>(value);
        held += 6;
        if (held >= 8) {
            held -= 8;
            bytes.push_back(static_cast<std::uint8_t>(bits >> held));
            bits &= (1u << held) - 1;
        }
    }
    return digits % 4 == 0 && padding <= 2 && bits == 0;
}

// One DER element at the front of `rest`: its tag and contents, `rest` moved
// past it. Definite lengths only, in their shortest form; no more than two
// length bytes, which is all a key or a signature ever needs.
bool next_der(std::string_view& rest, std::uint8_t tag, std::string_view& contents) {
    if (rest.size() < 2 || static_cast<std::uint8_t>(rest[0]) != tag) return false;
    std::size_t length = static_cast<std::uint8_t>(rest[1]);
    std::size_t header = 2;
    if (length == 0x81) {
        if (rest.size() < 3) return false;
        length = static_cast<std::uint8_t>(rest[2]);
        if (length < 0x80) return false;
        header = 3;
    } else if (length == 0x82) {
        if (rest.size() < 4) return false;
        length = static_cast<std::size_t>(static_cast<std::uint8_t>(rest[2])) << 8 | static_cast<std::uint8_t>(rest[3]);
        if (length < 0x100) return false;
        header = 4;
    } else if (length >= 0x80) {
        return false;
    }
    if (rest.size() - header < length) return false;
    contents = rest.substr(header, length);
    rest.remove_prefix(header + length);
    return true;
}

// The contents of a sequence that is the whole of `text`.
bool whole_sequence(std::string_view text, std::string_view& contents) {
    return next_der(text, der_sequence, contents) && text.empty();
}

// A SubjectPublicKeyInfo: the algorithm must be id-ecPublicKey with the
// named curve prime256v1, the key an uncompressed point.
bool check_spki(std::string_view der, std::string& why) {
    std::string_view info, algorithm, point, oid, curve;
    if (!whole_sequence(der, info) || !next_der(info, der_sequence, algorithm) ||
        !next_der(info, der_bit_string, point) || !info.empty() || !next_der(algorithm, der_object_id, oid)) {
        why = "it is not a SubjectPublicKeyInfo";
        return false;
    }
    if (oid != oid_ec_public_key) {
        why = "it is not an elliptic-curve key";
        return false;
    }
    if (!next_der(algorithm, der_object_id, curve) || !algorithm.empty() || curve != oid_prime256v1) {
        why = "its curve is not P-256";
        return false;
    }
    if (point.size() != 1 + p256_point || point[0] != '\0' || point[1] != '\x04') {
        why = "its point is not an uncompressed P-256 point";
        return false;
    }
    return true;
}

// One INTEGER of a signature into 32 big-endian bytes: positive, in its
// shortest form, not zero, and no wider than the curve.
bool read_scalar(std::string_view& rest, std::uint8_t* out) {
    std::string_view value;
    if (!next_der(rest, der_integer, value) || value.empty()) return false;
    const auto first = static_cast<std::uint8_t>(value[0]);
    if (first & 0x80) return false;  // negative
    if (first == 0) {
        if (value.size() == 1 || !(static_cast<std::uint8_t>(value[1]) & 0x80)) return false;  // zero, or padded
        value.remove_prefix(1);
    }
    if (value.size() > p256_scalar) return false;
    std::memset(out, 0, p256_scalar);
    std::memcpy(out + p256_scalar - value.size(), value.data(), value.size());
    return true;
}

bool contains(std::string_view text, std::string_view part) { return text.find(part) != std::string_view::npos; }

}  // namespace

bool read_public_key(std::string_view pem, public_key& key, std::string& why) {
    // A private key on a host that only verifies is a leak worth naming.
    if (contains(pem, "PRIVATE KEY-----")) {
        why = "it holds a private key, not a public key";
        return false;
    }
    // A key file is one block: whatever stands before or after the key (a
    // certificate, EC PARAMETERS) makes it a file the administrator did not
    // mean as it reads.
    const std::size_t first_begin = pem.find("-----BEGIN");
    if (first_begin != std::string_view::npos && contains(pem.substr(first_begin + 1), "-----BEGIN")) {
        why = "it holds more than one PEM block";
        return false;
    }
    const std::size_t begin = pem.find(pem_begin);
    if (begin == std::string_view::npos) {
        why = contains(pem, "-----BEGIN ") ? "it holds no PEM public key" : "it is not PEM";
        return false;
    }
    const std::size_t body = begin + pem_begin.size();
    const std::size_t end = pem.find(pem_end, body);
    if (end == std::string_view::npos) {
        why = "its PEM block has no end";
        return false;
    }
    std::vector<std::uint8_t> der;
    if (!decode_base64(pem.substr(body, end - body), der)) {
        why = "its PEM block is not base64";
        return false;
    }
    const std::string_view der_text(reinterpret_cast<const char*>(der.data()), der.size());
    if (!check_spki(der_text, why)) return false;
    key.handle = import_p256_key(der);
    if (!key.handle) {
        why = "the system's cryptography does not take it";
        return false;
    }
    const std::optional<sha256_digest> fingerprint = sha256_of_bytes(der.data(), der.size());
    if (!fingerprint) {
        key.handle.reset();
        why = "its fingerprint could not be taken";
        return false;
    }
    key.fingerprint = *fingerprint;
    return true;
}

bool read_ecdsa_signature(std::string_view der, ecdsa_signature& signature) {
    std::string_view pair;
    if (!whole_sequence(der, pair)) return false;
    if (!read_scalar(pair, signature.r_s.data()) || !read_scalar(pair, signature.r_s.data() + p256_scalar)) {
        return false;
    }
    signature.der = der;
    return pair.empty();
}

signature_verdict verify_signature(const public_key& key, const sha256_digest& digest, std::string_view der) {
    ecdsa_signature signature{};
    if (!read_ecdsa_signature(der, signature)) return signature_verdict::malformed;
    if (!key.handle) return signature_verdict::not_checked;
    return p256_verify(*key.handle, digest, signature);
}
