// Whoever can write the firmware folder can change an image and its checksum
// together; a signature over the catalogue by a key the host trusts cannot
// be made there. The catalogue names each image's SHA-256, so the signature
// covers the images through it.
//
// Trusted keys are ECDSA P-256 public keys in PEM, one per "*.pem" file (any
// letter case) of the trusted-keys folder. Whether signatures are required is
// configuration, never a guess from what the folder happens to hold: they are
// when KVFW_TRUSTED_KEYS is set (even empty), or when the system's folder
// holds anything at all; then the catalogue must come with
// "fwimage/firmware.cfg.sig", a DER signature of its SHA-256 by one of the
// keys, and a required policy without a usable key refuses the run. Only
// with the variable unset and the system's folder missing or empty (as the
// package installs it) is the catalogue read unsigned, as it always was.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "inventory/catalogue.h"
#include "platform/signature.h"

constexpr const char catalogue_signature_path[] = "fwimage/firmware.cfg.sig";

struct trusted_key {
    std::string file;  // the key file it was read from
    public_key key;
};

struct refused_key_file {
    std::string path;
    std::string why;  // in a few words ("it holds a private key, not a public key")
};

struct trusted_keys {
    std::string folder;
    bool required = false;  // signatures are required
    // The folder was named but is missing, or is there and cannot be read:
    // a typo in its name must never turn the guard off.
    bool folder_unreadable = false;
    std::vector<trusted_key> keys;       // in order of their file names
    std::vector<refused_key_file> refused;
    std::vector<std::string> not_keys;  // names in the folder that are no key file, skipped
    std::string refusal;  // the line that refuses the run when no other does; empty when none
};

// KVFW_TRUSTED_KEYS when set (`named`, even when empty), else the system's
// own folder (default_trusted_keys_folder).
std::string trusted_keys_folder(bool& named);

// Reads every "*.pem" file of the folder (sub-folders are not read; every
// other entry is named in `not_keys`). A folder that is not there holds no
// keys unless it was named; a folder that is there must be readable. A file
// that is not one P-256 public key is refused, never passed over: a broken
// key must not lower the guard in silence.
void load_trusted_keys(const std::string& folder, bool named, trusted_keys& keys);

// No refusal: the run may go on with these keys (none only when signatures
// are not required).
inline bool keys_usable(const trusted_keys& keys) {
    return !keys.folder_unreadable && keys.refused.empty() && keys.refusal.empty();
}

// What the run report says of the catalogue's signature.
// `verified` only for a catalogue that is accepted: a trusted key made its
// signature, and it is neither expired nor older than one the host accepted.
struct signature_check {
    bool verified = false;
    std::optional<sha256_digest> key;     // fingerprint of the key that made it
    std::string reason;                   // why it was refused; empty when verified
    std::optional<std::uint32_t> serial;  // its "$serial", once the signature verified
    std::string expires;                  // its "$expires" (YYYY-MM-DD), likewise; empty when none
};

// The reason the report gives when the catalogue came with a signature that
// no key on this host can check.
constexpr const char no_trusted_key_reason[] = "no trusted key";

// Checks `signature_path` over the bytes read against each key in turn.
// `keys` is not empty.
signature_check check_catalogue_signature(const catalogue_bytes& catalogue, const std::vector<trusted_key>& keys,
                                          const std::string& signature_path = catalogue_signature_path);
