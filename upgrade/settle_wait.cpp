#include "upgrade/settle_wait.h"

#include <algorithm>

#include "platform/clock.h"

void settle_wait(std::uint32_t milliseconds, progress_line& progress) {
    if (!progress.enabled()) {
        active_clock().sleep_ms(milliseconds);
        return;
    }
    constexpr std::uint32_t step_ms = 1000;
    std::uint32_t left = milliseconds;
    while (left > 0) {
        progress.countdown((left + step_ms - 1) / step_ms);
        const std::uint32_t step = std::min(left, step_ms);
        active_clock().sleep_ms(step);
        left -= step;
    }
    progress.countdown(0);
    progress.finish();
}
