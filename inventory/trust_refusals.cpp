#include "inventory/trust_refusals.h"

std::string keys_variable_empty_line() {
    return "kvtapefw: KVFW_TRUSTED_KEYS is set but empty; signatures are required";
}

std::string no_trusted_key_line(const std::string& folder, const std::vector<std::string>& not_keys) {
    std::string line = "kvtapefw: no trusted key in " + folder + "; signatures are required";
    if (not_keys.empty()) return line;
    // What an administrator put there meaning it as a key ("K1.key") is named.
    line += " (it holds no *.pem file, only";
    for (std::size_t i = 0; i < not_keys.size(); ++i) line += (i == 0 ? " " : ", ") + not_keys[i];
    return line + ")";
}

std::string key_not_trusted_line(const std::string& path, const std::string& target, const char* fault) {
    const std::string named = target.empty() ? path : path + " (a link to " + target + ")";
    return "kvtapefw: trusted key " + named + " " + fault + "; it is not trusted";
}

std::string not_a_key_file_line(const std::string& folder, const std::string& name) {
    return "Trusted keys folder " + folder + " holds " + name + ", which is not a key file (*.pem); it is skipped";
}

std::string signature_unused_line(const char* catalogue) {
    return std::string("Firmware catalogue ") + catalogue +
           " has a signature, but no key is trusted on this host; it is read unsigned";
}

std::string not_signed_line(const char* catalogue, const std::string& why, std::size_t keys,
                            const std::string& folder) {
    return std::string("Firmware catalogue ") + catalogue + " is not signed by a trusted key: " + why + " (" +
           std::to_string(keys) + (keys == 1 ? " key" : " keys") + " trusted in " + folder + ")";
}

std::string older_reason(std::optional<std::uint32_t> serial, std::uint32_t accepted) {
    return "is older than one this host already accepted (serial " +
           (serial ? std::to_string(*serial) : std::string("none")) + " < " + std::to_string(accepted) + ")";
}

std::string expired_reason(const std::string& day) { return "expired on " + day; }

std::string older_catalogue_line(const char* catalogue, std::optional<std::uint32_t> serial,
                                 std::uint32_t accepted) {
    return std::string("Firmware catalogue ") + catalogue + " " + older_reason(serial, accepted);
}

std::string expired_catalogue_line(const char* catalogue, const std::string& day) {
    return std::string("Firmware catalogue ") + catalogue + " " + expired_reason(day);
}

std::string not_accepted_line(const char* catalogue, const std::string& why) {
    return std::string("Firmware catalogue ") + catalogue + " is not accepted: " + why;
}

std::string image_outside_line(const char* image_path) {
    return std::string("Firmware image ") + image_path + " lies outside the firmware folder; it is not sent";
}
