// The WRITE BUFFER side of a simulated drive: where the chunks of a firmware
// download go and which command asks the drive to take the image up. The
// KTR320 family loads into a buffer window at 64 KiB; the others append
// chunks, and only LTO drives have an explicit activate command.
#pragma once

#include <cstdint>

#include "sim/sim_pages.h"

enum class download_step {
    stored,    // chunk accepted
    take_up,   // the drive is asked to activate what it received
    rejected,  // a WRITE BUFFER form this drive does not take
};

class sim_download {
public:
    sim_download(bool ktr320, bool lto) : ktr320_(ktr320), lto_(lto) {}

    // One WRITE BUFFER: mode, buffer id, buffer offset and the bytes that came
    // with it (its parameter list).
    download_step write(int mode, int buffer_id, std::uint32_t offset, const std::uint8_t* data, std::size_t length);
    // True when closing the device activates the image (drives without an
    // activate command of their own, once they received data).
    bool takes_up_on_close() const { return !ktr320_ && !lto_ && received_; }
    const sim_bytes& image() const { return image_; }
    void discard();

private:
    bool ktr320_;
    bool lto_;
    bool received_ = false;
    sim_bytes image_;
};
