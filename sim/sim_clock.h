// The calendar of a simulated run: it starts at the real time and moves only
// with the simulation (each command takes its time, every sleep its full
// length), so a 150-second settle wait returns at once.
#pragma once

#include <cstdint>

#include <vector>

#include "platform/clock.h"
#include "platform/interrupt.h"
#include "sim/fault_rules.h"

class sim_clock final : public run_clock {
public:
    explicit sim_clock(std::int64_t start_seconds, std::vector<sim_fault_rule> sleeps = {})
        : now_ms_(start_seconds * 1000), sleeps_(std::move(sleeps)) {}

    std::int64_t now_seconds() override { return now_ms_ / 1000; }
    // A sleep rule's signal comes as the sleep begins, as a request that
    // arrives during a real wait.
    void sleep_ms(std::uint32_t milliseconds) override {
        if (const sim_fault_rule* rule = sleeps_.match(sim_cdb{})) send_signal_to_self(rule->signal);
        now_ms_ += milliseconds;
    }

    std::int64_t now_ms() const { return now_ms_; }
    void advance_ms(std::int64_t milliseconds) { now_ms_ += milliseconds; }

private:
    std::int64_t now_ms_;
    fault_matcher sleeps_;
};
