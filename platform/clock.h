// Calendar time and sleeping as the rest of the program sees them. The real
// clock is the platform's; the simulated bus installs one of its own, so that
// a 150-second settle wait costs no real time.
#pragma once

#include <cstdint>

class run_clock {
public:
    virtual ~run_clock() = default;
    virtual std::int64_t now_seconds() = 0;
    virtual void sleep_ms(std::uint32_t milliseconds) = 0;
};

run_clock& active_clock();
// nullptr restores the platform clock. The caller keeps ownership.
void install_clock(run_clock* clock);
