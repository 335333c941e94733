// What a simulated drive checks before it takes up a downloaded image: the
// version it announces and, when given, the hardware it was built for.
#pragma once

#include <cstddef>
#include <string>

#include "sim/sim_pages.h"

struct image_verdict {
    bool accepted;
    std::string firmware;  // the new version text when accepted
};

// Accepted when the image holds "FWVERSION=" followed by a decimal version of
// at most `max_version_length` characters and, if it holds "HWCONF=", the
// hexadecimal value after that equals `hw_config`.
image_verdict check_image(const sim_bytes& image, const std::string& hw_config, std::size_t max_version_length);
