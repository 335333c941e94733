// The calendar of a simulated run: it starts at the real time and moves only
// with the simulation (each command takes its time, every sleep its full
// length), so a 150-second settle wait returns at once.
#pragma once

#include <cstdint>

#include "platform/clock.h"

class sim_clock final : public run_clock {
public:
    explicit sim_clock(std::int64_t start_seconds) : now_ms_(start_seconds * 1000) {}

    std::int64_t now_seconds() override { return now_ms_ / 1000; }
    void sleep_ms(std::uint32_t milliseconds) override { now_ms_ += milliseconds; }

    std::int64_t now_ms() const { return now_ms_; }
    void advance_ms(std::int64_t milliseconds) { now_ms_ += milliseconds; }

private:
    std::int64_t now_ms_;
};
