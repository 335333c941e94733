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
// taken, and how it stood against the catalogue's checksum. "mismatch"
// covers every image with a checksum that was not shown to match (it
// differed, could not be read whole, or could not be held for sending).
enum class checksum_finding : std::uint8_t { none, matched, mismatch, malformed };

struct image_facts {
    long long bytes;                      // -1 when it did not open
    std::optional<sha256_digest> sha256;  // of the bytes checked, when they were
    checksum_finding checksum;
};

// The images of one flashing run. An image whose catalogue line carries a
// checksum is read once, however many drives take it: hashed, and held for
// the rest of the run, so that no later change to the file (rewritten, cut,
// extended, replaced) reaches a drive. On Windows the file itself is held,
// open so that no other program may write, rename or delete it; elsewhere,
// where such locks are only advisory, its bytes are copied to a private file
// as they are hashed, and the drives are sent the copy. An image without a
// checksum is opened anew for each download, as it always was.
class image_store {
public:
    // The entry's image, ready for one download from its first byte; nullptr
    // when it is not to be sent. `problem` is then the setup-log line for the
    // place where the download would have started ("Error open file", ...),
    // or nullptr when the checksum refused the image: that line ("Firmware
    // image <path> does not match its catalogue checksum", or that the
    // checksum field is malformed, or that no private copy could be made)
    // has been logged.
    // `facts`, when given, is filled for the run report.
    firmware_image* ready(const drive_record& entry, const char* image_path, transfer_buffer& buffer,
                          const char*& problem, image_facts* facts = nullptr);
    int images_hashed() const { return hashed_; }

private:
    struct held_image {
        firmware_image image;
        const char* problem;                  // why it did not open
        std::optional<sha256_digest> digest;  // none: it could not be read whole
        bool uncopied;                        // no private copy could be made
    };
    held_image& held(const drive_record& entry, const char* image_path, transfer_buffer& buffer);
    firmware_image* ready_image(const drive_record& entry, const char* image_path, transfer_buffer& buffer,
                                const char*& problem, image_facts& facts);

    std::map<std::string, held_image> held_;
    firmware_image unchecked_{};
    int hashed_ = 0;
};
