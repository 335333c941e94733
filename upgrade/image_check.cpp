#include "upgrade/image_check.h"

#include <cstdio>

#include "inventory/trust_refusals.h"
#include "log/setup_log.h"
#include "platform/file_write.h"
#include "platform/held_file.h"

namespace {

// Streams the whole image through the hasher in the transfer buffer's chunks
// (the image is never loaded whole), writing each chunk to `copy` when one
// is given. `copied` says whether the copy took every byte; `total` gets the
// bytes read. None when a read, the hash or the copy failed.
std::optional<sha256_digest> hash_image(firmware_image& image, transfer_buffer& buffer, std::FILE* copy,
                                        long long& total, bool& copied) {
    const std::optional<sha256_digest> digest =
        sha256_of_rest(image.file.get(), buffer.bytes.data(), buffer.bytes.size(), copy, total);
    copied = copy == nullptr || (std::ferror(copy) == 0 && std::fflush(copy) == 0);
    return copied ? digest : std::nullopt;
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
    if (image_lies_outside(image.image.file.get())) {
        image.outside = true;
        image.image.file.reset();
        return image;
    }
    ++hashed_;
    file_handle copy;
    if (!denies_writers) {
        copy = open_private_file(image.copy_folder, image.copy_failure);
        if (!copy) return image;  // no digest: never sent
    }
    long long total = 0;
    bool copied = true;
    image.digest = hash_image(image.image, buffer, copy.get(), total, copied);
    if (!copied) {
        image.copy_failure = last_error_text();
        return image;
    }
    // A file cut or extended while it was read (or one that never gives
    // what it measures) is not the image that was opened: without a
    // checksum nothing else would tell.
    if (total != image.image.size) {
        image.changed = true;
        image.digest.reset();
        return image;
    }
    // From here on the drives are sent the copy; the file itself is let go.
    if (copy) image.image.file = std::move(copy);
    return image;
}

firmware_image* image_store::ready(const drive_record& entry, const char* image_path, transfer_buffer& buffer,
                                   const char*& problem, image_facts* facts) {
    image_facts seen{-1, std::nullopt, checksum_finding::none, nullptr};
    firmware_image* image = ready_image(entry, image_path, buffer, problem, seen);
    if (facts) *facts = seen;
    return image;
}

firmware_image* image_store::ready_image(const drive_record& entry, const char* image_path, transfer_buffer& buffer,
                                         const char*& problem, image_facts& facts) {
    problem = nullptr;
    if (entry.checksum == image_checksum::malformed) {
        facts.checksum = checksum_finding::malformed;
        facts.refusal = "the catalogue's checksum of its image is malformed";
        log_line("Firmware image %s has a malformed checksum in the catalogue\n", image_path);
        return nullptr;
    }
    if (entry.checksum == image_checksum::missing) {
        facts.checksum = checksum_finding::missing;
        facts.refusal = "the signed catalogue gives no checksum of its image";
        log_line("Firmware image %s has no checksum in the signed catalogue\n", image_path);
        return nullptr;
    }
    held_image& image = held(entry, image_path, buffer);
    facts.checksum = checksum_finding::unchecked;
    // A missing image is told where its download would have begun.
    if (image.problem) {
        problem = image.problem;
        return nullptr;
    }
    if (image.outside) {
        facts.refusal = "its image lies outside the firmware folder";
        report_error("%s\n", image_outside_line(image_path).c_str());
        return nullptr;
    }
    facts.bytes = image.image.size;
    facts.sha256 = image.digest;
    if (!image.copy_failure.empty()) {
        facts.refusal = "its image could not be copied to a private file";
        log_line("Firmware image %s could not be copied to a private file in %s (%s); it is not sent\n", image_path,
                 image.copy_folder.c_str(), image.copy_failure.c_str());
        return nullptr;
    }
    if (image.changed) {
        facts.refusal = "its image changed while it was read";
        log_line("Firmware image %s changed while it was read; it is not sent\n", image_path);
        return nullptr;
    }
    if (!image.digest || std::fseek(image.image.file.get(), 0, SEEK_SET) != 0) {
        facts.sha256.reset();
        facts.refusal = "its image could not be read whole";
        log_line("Firmware image %s could not be read whole; it is not sent\n", image_path);
        return nullptr;
    }
    if (entry.checksum == image_checksum::none) {
        facts.checksum = checksum_finding::none;
        return &image.image;
    }
    if (*image.digest != entry.image_sha256) {
        facts.checksum = checksum_finding::mismatch;
        facts.refusal = "its image could not be shown to match the catalogue's checksum";
        log_line("Firmware image %s does not match its catalogue checksum\n", image_path);
        return nullptr;
    }
    facts.checksum = checksum_finding::matched;
    return &image.image;
}
