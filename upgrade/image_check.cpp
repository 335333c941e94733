#include "upgrade/image_check.h"

#include <cstdio>

#include "log/setup_log.h"

namespace {

// Streams the whole image through the hasher in the transfer buffer's chunks
// (the image is never loaded whole), then rewinds it for the download. None
// when fewer bytes came than the image's size or a read failed.
std::optional<sha256_digest> hash_image(firmware_image& image, transfer_buffer& buffer) {
    sha256_hasher hasher;
    long long total = 0;
    for (std::size_t n; (n = std::fread(buffer.bytes.data(), 1, buffer.bytes.size(), image.file.get())) > 0;) {
        if (!hasher.update(buffer.bytes.data(), n)) return std::nullopt;
        total += static_cast<long long>(n);
    }
    const bool whole = !std::ferror(image.file.get()) && total == image.size;
    if (std::fseek(image.file.get(), 0, SEEK_SET) != 0) return std::nullopt;
    sha256_digest digest{};
    if (!whole || !hasher.finish(digest)) return std::nullopt;
    return digest;
}

}  // namespace

std::optional<sha256_digest> image_digests::digest_of(const std::string& image_path, firmware_image* image,
                                                      transfer_buffer& buffer) {
    const auto known = digests_.find(image_path);
    if (known != digests_.end()) return known->second;
    std::optional<sha256_digest> digest = image ? hash_image(*image, buffer) : std::nullopt;
    digests_.emplace(image_path, digest);
    return digest;
}

bool image_matches_catalogue(const drive_record& entry, const char* image_path, firmware_image* image,
                             transfer_buffer& buffer, image_digests& digests) {
    if (entry.checksum == image_checksum::none) return true;
    if (entry.checksum == image_checksum::malformed) {
        log_line("Firmware image %s has a malformed checksum in the catalogue\n", image_path);
        return false;
    }
    const std::optional<sha256_digest> digest = digests.digest_of(image_path, image, buffer);
    if (digest && *digest == entry.image_sha256) return true;
    log_line("Firmware image %s does not match its catalogue checksum\n", image_path);
    return false;
}
