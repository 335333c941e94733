// The catalogue's checksum of an image, checked before any drive is opened:
// an image cut short or damaged on its way to the host is never sent.
#pragma once

#include <map>
#include <optional>
#include <string>

#include "inventory/drive_table.h"
#include "platform/sha256.h"
#include "upgrade/image_file.h"
#include "upgrade/transfer_buffer.h"

// The digests of one flashing run, by image path: each image is hashed once
// however many drives take it.
class image_digests {
public:
    // The digest of the image at `image_path`, hashing `image` (open, at its
    // start; rewound afterwards) the first time the path is asked for; none
    // when it could not be read whole. `image` is nullptr when it did not open.
    std::optional<sha256_digest> digest_of(const std::string& image_path, firmware_image* image,
                                           transfer_buffer& buffer);
    int images_hashed() const { return static_cast<int>(digests_.size()); }

private:
    std::map<std::string, std::optional<sha256_digest>> digests_;
};

// True when the entry has no checksum or its image matches it. Otherwise logs
// the one line that says why ("Firmware image <path> does not match its
// catalogue checksum", or that the checksum field is malformed): the image
// must not reach the drive.
bool image_matches_catalogue(const drive_record& entry, const char* image_path, firmware_image* image,
                             transfer_buffer& buffer, image_digests& digests);
