#include "upgrade/settle_wait.h"

#include <algorithm>

#include "platform/clock.h"
#include "platform/interrupt.h"

namespace {

constexpr std::uint32_t step_ms = 1000;

// Sleeps `milliseconds`, a second at a time, showing `left_ms` counting down
// with `show`.
void count_down(std::uint32_t milliseconds, std::uint32_t left_ms, progress_line& progress,
                void (progress_line::*show)(std::uint32_t)) {
    std::uint32_t slept = 0;
    // A request to stop ends the wait: the run does not sit it out.
    while (slept < milliseconds && !stop_requested()) {
        (progress.*show)((left_ms - slept + step_ms - 1) / step_ms);
        const std::uint32_t step = std::min(milliseconds - slept, step_ms);
        active_clock().sleep_ms(step);
        slept += step;
    }
}

}  // namespace

void settle_wait(std::uint32_t milliseconds, progress_line& progress) {
    if (!progress.enabled()) {
        active_clock().sleep_ms(milliseconds);
        return;
    }
    count_down(milliseconds, milliseconds, progress, &progress_line::countdown);
    progress.countdown(0);
    progress.finish();
}

void countdown_wait(std::uint32_t milliseconds, std::uint32_t left_ms, progress_line& progress) {
    if (!progress.enabled()) {
        active_clock().sleep_ms(milliseconds);
        return;
    }
    count_down(milliseconds, left_ms, progress, &progress_line::late_countdown);
}
