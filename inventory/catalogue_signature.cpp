#include "inventory/catalogue_signature.h"

#include <algorithm>
#include <cstdlib>

#include "inventory/trust_refusals.h"
#include "platform/file_name.h"
#include "platform/file_trust.h"
#include "platform/platform.h"
#include "platform/whole_file.h"

namespace {

// A PEM public key is a few hundred bytes; a DER P-256 signature at most 72.
// Anything far larger is no key or signature and is not read in whole.
constexpr std::size_t key_file_limit = 16 * 1024;
constexpr std::size_t signature_file_limit = 4 * 1024;

}  // namespace

std::string trusted_keys_folder(bool& named) {
    named = std::getenv("KVFW_TRUSTED_KEYS") != nullptr;
    return named ? environment_variable("KVFW_TRUSTED_KEYS") : default_trusted_keys_folder();
}

void load_trusted_keys(const std::string& folder, bool named, trusted_keys& keys) {
    keys = trusted_keys{};
    keys.folder = folder;
    keys.required = named;
    if (named && folder.empty()) {
        keys.refusal = keys_variable_empty_line();
        return;
    }
    if (!named && !path_exists(folder)) return;
    std::vector<std::string> names;
    if (!is_directory(folder) || !read_directory(folder, names)) {
        keys.required = true;
        keys.folder_unreadable = true;
        return;
    }
    // Anything in the system's folder, whatever its name, is someone's
    // intent to require signatures.
    if (!named && names.empty()) return;
    keys.required = true;
    // Whoever could write the folder, or a folder above it, could add a key.
    trust_fault fault;
    if (!only_administrators_can_change(folder, fault)) {
        keys.refusal = key_not_trusted_line(fault.path, fault.target, fault.fault);
        return;
    }
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        const std::string path = path_in_folder(folder, name);
        if (!has_extension(name, ".pem") || is_directory(path)) {
            keys.not_keys.push_back(name);
            continue;
        }
        if (!only_administrators_can_change(path, fault)) {
            keys.refusal = key_not_trusted_line(fault.path, fault.target, fault.fault);
            keys.keys.clear();
            return;
        }
        std::string text, why;
        trusted_key key{path, {}};
        if (!read_whole_file(path, key_file_limit, text)) {
            keys.refused.push_back({path, "it cannot be read"});
        } else if (!read_public_key(text, key.key, why)) {
            keys.refused.push_back({path, why});
        } else {
            keys.keys.push_back(std::move(key));
        }
    }
    if (keys.keys.empty() && keys.refused.empty()) keys.refusal = no_trusted_key_line(folder, keys.not_keys);
}

signature_check check_catalogue_signature(const catalogue_bytes& catalogue, const std::vector<trusted_key>& keys,
                                          const std::string& signature_path) {
    signature_check check;
    if (!catalogue.read) {
        check.reason = catalogue.why;
        return check;
    }
    std::string signature;
    if (!path_exists(signature_path)) {
        check.reason = "its signature " + signature_path + " is missing";
        return check;
    }
    if (!read_whole_file(signature_path, signature_file_limit, signature)) {
        check.reason = "its signature " + signature_path + " cannot be read";
        return check;
    }
    bool unchecked = false;
    for (const trusted_key& key : keys) {
        const signature_verdict verdict = verify_signature(key.key, *catalogue.digest, signature);
        if (verdict == signature_verdict::malformed) {
            check.reason = "its signature is not one DER ECDSA signature";
            return check;
        }
        if (verdict == signature_verdict::valid) {
            check.verified = true;
            check.key = key.key.fingerprint;
            return check;
        }
        unchecked = unchecked || verdict == signature_verdict::not_checked;
    }
    check.reason = unchecked ? "its signature could not be checked" : "no trusted key verifies its signature";
    return check;
}
