// The catalogue's checksum of an image, checked before any drive is opened:
// an image cut short or damaged on its way to the host is never sent, and
// every drive is sent the very bytes that were checked.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "inventory/drive_table.h"
#include "platform/sha256.h"
#include "upgrade/image_file.h"
#include "upgrade/transfer_buffer.h"

// What the run report says of an image: its size, its digest where one was
// taken, and how it stood against the catalogue's checksum: "unchecked" when
// its bytes could not be read whole or held for sending (missing,
// unreadable, no room for the private copy), "mismatch" only for bytes that
// were read and differ; "missing" when a signed catalogue gives none.
enum class checksum_finding : std::uint8_t { none, matched, mismatch, malformed, unchecked, missing };

struct image_facts {
    long long bytes;                      // -1 when it did not open
    std::optional<sha256_digest> sha256;  // of the bytes held, when they were
    checksum_finding checksum;
    const char* refusal;                  // why it is not sent, when the store refused it
};

// The images of one flashing run. Every image is read before its first byte
// goes to any drive: hashed, and held for the drives that take it one after
// another (the caller lets it go when the next drive takes another image,
// and a later drive that takes it again has it read and checked anew), so
// that no later change to the
// file (rewritten, cut, extended, replaced) reaches a drive, and nothing is
// sent that was not in hand whole. On Windows the file itself is held, open
// so that no other program may write, rename or delete it; elsewhere, where
// such locks are only advisory, its bytes are copied to a private file as
// they are hashed, and the drives are sent the copy: the folder for
// temporary files must hold the largest image.
class image_store {
public:
    // The entry's image, ready for one download from its first byte; nullptr
    // when it is not to be sent. `problem` is then the setup-log line for the
    // place where the download would have started ("Error open file", ...),
    // or nullptr when the store refused the image: that line ("Firmware
    // image <path> does not match its catalogue checksum", that the checksum
    // field is malformed or, in a signed catalogue, missing, that no private
    // copy could be made, that it changed while it was read, or that it
    // could not be read whole) has been
    // logged, and `facts.refusal` says it in a few words.
    // `facts`, when given, is filled for the run report.
    firmware_image* ready(const drive_record& entry, const char* image_path, transfer_buffer& buffer,
                          const char*& problem, image_facts* facts = nullptr);
    // Lets the image go: the next drive to be flashed takes another.
    void release(const char* image_path) { held_.erase(image_path); }
    int images_hashed() const { return hashed_; }

private:
    struct held_image {
        firmware_image image;
        const char* problem = nullptr;        // why it did not open
        bool outside = false;                 // it lies outside the firmware folder: never read
        std::optional<sha256_digest> digest;  // none: it could not be read whole or copied
        std::string copy_folder;              // where the private copy was to go
        std::string copy_failure;             // why it could not be made; empty when it was
        bool changed = false;                 // it gave other than the size measured at its open
    };
    held_image& held(const drive_record& entry, const char* image_path, transfer_buffer& buffer);
    firmware_image* ready_image(const drive_record& entry, const char* image_path, transfer_buffer& buffer,
                                const char*& problem, image_facts& facts);

    std::map<std::string, held_image> held_;
    int hashed_ = 0;
};
