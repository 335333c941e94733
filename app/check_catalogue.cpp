#include "app/check_catalogue.h"

#include <array>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "inventory/catalogue.h"
#include "inventory/catalogue_freshness.h"
#include "inventory/catalogue_signature.h"
#include "inventory/trust_refusals.h"
#include "platform/file_handle.h"
#include "platform/file_read.h"
#include "platform/number_text.h"
#include "platform/platform.h"
#include "platform/sha256.h"
#include "platform/state_folder.h"
#include "upgrade/image_file.h"

namespace {

// The image file a catalogue name stands for in `folder`: the name as
// written, else one that differs only in letter case (as a run finds it).
std::string image_in(const std::string& folder, const std::string& name) {
    const std::string exact = path_in_folder(folder, name);
    if (is_regular_file(exact)) return exact;
    for (const std::string& entry : list_directory(folder)) {
        if (same_ignoring_case(entry, name)) return path_in_folder(folder, entry);
    }
    return exact;
}

// Why an entry's image would not be sent; empty when it would.
std::string image_problem(const std::string& folder, const drive_record& entry) {
    const std::string name = entry.firmware_file.data();
    if (entry.checksum != image_checksum::sha256) return "image " + name + " has no valid checksum";
    std::string why;
    file_handle file(open_regular_file_for_reading(image_in(folder, name), why));
    if (!file) return "image " + name + " cannot be read: " + why;
    if (image_lies_outside(file.get(), folder.c_str())) return "image " + name + " lies outside the firmware folder";
    std::array<std::uint8_t, 32768> buffer{};
    long long total = 0;
    const std::optional<sha256_digest> digest = sha256_of_rest(file.get(), buffer.data(), buffer.size(), nullptr, total);
    if (!digest) return "image " + name + " cannot be read whole";
    if (*digest != entry.image_sha256) return "image " + name + " does not match its checksum";
    return {};
}

int refuse(const std::string& catalogue, const std::string& why) {
    std::printf("kvtapefw: catalogue %s does not verify: %s\n", catalogue.c_str(), why.c_str());
    return 1;
}

}  // namespace

int check_catalogue_command(const char* folder_text) {
    const std::string folder = folder_text;
    const std::string catalogue = path_in_folder(folder, "firmware.cfg");
    bool named = false;
    trusted_keys keys;
    load_trusted_keys(trusted_keys_folder(named), named, keys);
    if (keys.folder_unreadable) return refuse(catalogue, "the trusted keys folder " + keys.folder + " cannot be read");
    if (!keys.refused.empty()) {
        return refuse(catalogue, "trusted key file " + keys.refused.front().path + " is not an ECDSA P-256 public key: " +
                                     keys.refused.front().why);
    }
    if (!keys.refusal.empty()) return refuse(catalogue, keys.refusal);
    if (keys.keys.empty()) return refuse(catalogue, no_trusted_key_reason);

    catalogue_bytes file;
    read_catalogue_bytes(file, catalogue);
    signature_check check = check_catalogue_signature(file, keys.keys, path_in_folder(folder, "firmware.cfg.sig"));
    if (!check.verified) return refuse(catalogue, check.reason);
    const std::string refusal = accept_verified_catalogue(
        check, file, catalogue.c_str(), run_state_folder(environment_variable("KVFW_SIM_BUS")), false);
    if (!refusal.empty()) return refuse(catalogue, check.reason);

    auto table = std::make_unique<drive_table>();
    const int entries = read_signed_catalogue(file, *table);
    if (entries <= 0) return refuse(catalogue, "it names no image");
    for (const drive_record& entry : *table) {
        if (entry.in_use == 0) continue;
        const std::string problem = image_problem(folder, entry);
        if (!problem.empty()) return refuse(catalogue, problem);
    }
    std::printf("kvtapefw: catalogue %s verifies: key %s, serial %s, expires %s, %d %s\n", catalogue.c_str(),
                hex_text(check.key->data(), check.key->size()).c_str(),
                check.serial ? std::to_string(*check.serial).c_str() : "none",
                check.expires.empty() ? "never" : check.expires.c_str(), entries, entries == 1 ? "image" : "images");
    return 0;
}
