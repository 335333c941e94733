#include "upgrade/image_check.h"

#include <cstdio>

#include "log/setup_log.h"
#include "platform/held_file.h"

namespace {

// Streams the whole image through the hasher in the transfer buffer's chunks
// (the image is never loaded whole), writing each chunk to `copy` when one
// is given. None when fewer bytes came than the image's size, or a read, the
// hash or the copy failed.
std::optional<sha256_digest> hash_image(firmware_image& image, transfer_buffer& buffer, std::FILE* copy) {
    long long total = 0;
    const std::optional<sha256_digest> digest =
        sha256_of_rest(image.file.get(), buffer.bytes.data(), buffer.bytes.size(), copy, total);
    if (!digest || total != image.size) return std::nullopt;
    if (copy && std::fflush(copy) != 0) return std::nullopt;
    return digest;
}

}  // namespace

image_store::held_image& image_store::held(const drive_record& entry, const char* image_path,
                                           transfer_buffer& buffer) {
    const auto known = held_.find(image_path);
    if (known != held_.end()) return known->second;
    held_image& image = held_[image_path];

    bool denies_writers = false;
    image.problem = open_image(image_path, entry.firmware_file.data(), image.image, &denies_writers);
    if (image.problem) return image;
    ++hashed_;
    file_handle copy = denies_writers ? nullptr : open_private_file();
    image.uncopied = !denies_writers && !copy;
    if (image.uncopied) return image;  // no digest: never sent
    image.digest = hash_image(image.image, buffer, copy.get());
    // From here on the drives are sent the copy; the file itself is let go.
    if (copy) image.image.file = std::move(copy);
    return image;
}

firmware_image* image_store::ready(const drive_record& entry, const char* image_path, transfer_buffer& buffer,
                                   const char*& problem, image_facts* facts) {
    image_facts seen{-1, std::nullopt, checksum_finding::none};
    firmware_image* image = ready_image(entry, image_path, buffer, problem, seen);
    if (facts) *facts = seen;
    return image;
}

firmware_image* image_store::ready_image(const drive_record& entry, const char* image_path, transfer_buffer& buffer,
                                         const char*& problem, image_facts& facts) {
    problem = nullptr;
    if (entry.checksum == image_checksum::none) {
        problem = open_image(image_path, entry.firmware_file.data(), unchecked_);
        if (problem) return nullptr;
        facts.bytes = unchecked_.size;
        return &unchecked_;
    }
    if (entry.checksum == image_checksum::malformed) {
        facts.checksum = checksum_finding::malformed;
        log_line("Firmware image %s has a malformed checksum in the catalogue\n", image_path);
        return nullptr;
    }
    facts.checksum = checksum_finding::mismatch;
    held_image& image = held(entry, image_path, buffer);
    // A missing image is told as it is without a checksum.
    if (image.problem) {
        problem = image.problem;
        return nullptr;
    }
    facts.bytes = image.image.size;
    facts.sha256 = image.digest;
    if (image.uncopied) {
        log_line("Firmware image %s could not be copied to a private file; it is not sent\n", image_path);
        return nullptr;
    }
    if (!image.digest || *image.digest != entry.image_sha256 ||
        std::fseek(image.image.file.get(), 0, SEEK_SET) != 0) {
        log_line("Firmware image %s does not match its catalogue checksum\n", image_path);
        return nullptr;
    }
    facts.checksum = checksum_finding::matched;
    return &image.image;
}
