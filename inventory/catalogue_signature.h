// Whoever can write the firmware folder can change an image and its checksum
// together; a signature over the catalogue by a key the host trusts cannot
// be made there. The catalogue names each image's SHA-256, so the signature
// covers the images through it.
//
// Trusted keys are ECDSA P-256 public keys in PEM, one per "*.pem" file of
// the trusted-keys folder. With none, catalogues are read as they always
// were; with any, the catalogue must come with "fwimage/firmware.cfg.sig",
// a DER signature of its SHA-256 by one of them.
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
    // The folder was named but is missing, or is there and cannot be read:
    // a typo in its name must never turn the guard off.
    bool folder_unreadable = false;
    std::vector<trusted_key> keys;       // in order of their file names
    std::vector<refused_key_file> refused;
};

// KVFW_TRUSTED_KEYS when set and not empty, else the system's own folder
// (default_trusted_keys_folder). `named` tells which.
std::string trusted_keys_folder(bool& named);

// Reads every "*.pem" file of the folder (letter case aside on Windows;
// sub-folders are not read). A folder that is not there holds no keys
// unless it was named; a folder that is there must be readable. A file that
// is not one P-256 public key is refused, never passed over: a broken key
// must not lower the guard in silence.
void load_trusted_keys(const std::string& folder, bool named, trusted_keys& keys);

// No refusal: the run may go on with these keys (perhaps none).
inline bool keys_usable(const trusted_keys& keys) { return !keys.folder_unreadable && keys.refused.empty(); }

// What the run report says of the catalogue's signature.
struct signature_check {
    bool verified = false;
    std::optional<sha256_digest> key;  // fingerprint of the key that made it
    std::string reason;                // why it was refused; empty when verified
};

// Checks catalogue_signature_path over the bytes read against each key in
// turn. `keys` is not empty.
signature_check check_catalogue_signature(const catalogue_bytes& catalogue, const std::vector<trusted_key>& keys);
