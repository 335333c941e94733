#include "sim/sim_clock.h"

void sim_clock::sleep_ms(std::uint32_t milliseconds) {
    trace_.line("sleep %u", milliseconds);
    now_ms_ += milliseconds;
}
