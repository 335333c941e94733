#include "sim/sim_download.h"

#include <algorithm>

namespace {
constexpr int mode_download = 4;
constexpr int mode_download_and_activate = 5;
constexpr std::uint32_t ktr320_window = 0x10000;
}  // namespace

download_step sim_download::write(int mode, int buffer_id, std::uint32_t offset, const std::uint8_t* data,
                                  std::size_t length) {
    if (ktr320_) {
        if (mode != mode_download || buffer_id != 1) return download_step::rejected;
        if (length == 0) return download_step::take_up;
        if (offset < ktr320_window) return download_step::rejected;
        const std::size_t at = offset - ktr320_window;
        if (image_.size() < at + length) image_.resize(at + length, 0);
        std::copy_n(data, length, image_.begin() + static_cast<std::ptrdiff_t>(at));
        received_ = true;
        return download_step::stored;
    }
    if (mode == mode_download && buffer_id == 0) {
        image_.insert(image_.end(), data, data + length);
        received_ = received_ || length > 0;
        return download_step::stored;
    }
    if (lto_ && mode == mode_download_and_activate && buffer_id == 0 && length == 0) return download_step::take_up;
    return download_step::rejected;
}

void sim_download::discard() {
    image_.clear();
    received_ = false;
}
