#include "sim/firmware_image.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <optional>

#include "platform/number_text.h"

namespace {

// Position just after the first occurrence of `tag`, or none.
std::optional<std::size_t> after_tag(const sim_bytes& image, const std::string& tag) {
    const auto found = std::search(image.begin(), image.end(), tag.begin(), tag.end());
    if (found == image.end()) return std::nullopt;
    return static_cast<std::size_t>(found - image.begin()) + tag.size();
}

std::string decimal_text_at(const sim_bytes& image, std::size_t position) {
    std::string text;
    while (position < image.size() && (std::isdigit(image[position]) || image[position] == '.')) {
        text += static_cast<char>(image[position++]);
    }
    return text;
}

// A configuration code as the program reads one, but in 64 bits and with no
// value at all when it does not fit: an image is checked against the drive,
// and two codes that differ must never match by being cut to the same value.
std::optional<std::uint64_t> hex_value(const std::string& text) {
    std::uint64_t value = 0;
    if (!read_hex64(text.c_str(), value)) return std::nullopt;
    return value;
}

std::optional<std::uint64_t> hex_value_at(const sim_bytes& image, std::size_t position) {
    std::string text;
    while (position < image.size() && text.size() < 32 && image[position] != '\n' && image[position] != '\r' &&
           image[position] != 0) {
        text += static_cast<char>(image[position++]);
    }
    return hex_value(text);
}

}  // namespace

image_verdict check_image(const sim_bytes& image, const std::string& hw_config, std::size_t max_version_length) {
    const image_verdict refused{false, {}};
    const std::optional<std::size_t> version_at = after_tag(image, "FWVERSION=");
    if (!version_at) return refused;
    const std::string version = decimal_text_at(image, *version_at);
    // A version that is no number, or one the drive could not show in its
    // page, would leave it unidentifiable after the reboot.
    if (version.empty() || version.size() > max_version_length) return refused;

    if (const std::optional<std::size_t> hw_at = after_tag(image, "HWCONF=")) {
        const std::optional<std::uint64_t> built_for = hex_value_at(image, *hw_at);
        const std::optional<std::uint64_t> drive_is = hex_value(hw_config);
        if (!built_for || !drive_is || *built_for != *drive_is) return refused;
    }
    return {true, version};
}
