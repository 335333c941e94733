#include "inventory/catalogue_signature.h"

#include <algorithm>

#include "platform/file_name.h"
#include "platform/platform.h"
#include "platform/whole_file.h"

namespace {

// A PEM public key is a few hundred bytes; a DER P-256 signature at most 72.
// Anything far larger is no key or signature and is not read in whole.
constexpr std::size_t key_file_limit = 16 * 1024;
constexpr std::size_t signature_file_limit = 4 * 1024;

}  // namespace

std::string trusted_keys_folder(bool& named) {
    const std::string variable = environment_variable("KVFW_TRUSTED_KEYS");
    named = !variable.empty();
    return named ? variable : default_trusted_keys_folder();
}

void load_trusted_keys(const std::string& folder, bool named, trusted_keys& keys) {
    keys = trusted_keys{};
    keys.folder = folder;
    if (!named && !path_exists(folder)) return;
    std::vector<std::string> names;
    if (!is_directory(folder) || !read_directory(folder, names)) {
        keys.folder_unreadable = true;
        return;
    }
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        if (!has_extension(name, ".pem")) continue;
        const std::string path = path_in_folder(folder, name);
        if (is_directory(path)) continue;
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
}

signature_check check_catalogue_signature(const catalogue_bytes& catalogue, const std::vector<trusted_key>& keys) {
    signature_check check;
    if (!catalogue.read) {
        check.reason = catalogue.why;
        return check;
    }
    std::string signature;
    if (!path_exists(catalogue_signature_path)) {
        check.reason = std::string("its signature ") + catalogue_signature_path + " is missing";
        return check;
    }
    if (!read_whole_file(catalogue_signature_path, signature_file_limit, signature)) {
        check.reason = std::string("its signature ") + catalogue_signature_path + " cannot be read";
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
