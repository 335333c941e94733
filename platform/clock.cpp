#include "platform/clock.h"

#include "platform/platform.h"

namespace {
class platform_clock final : public run_clock {
public:
    std::int64_t now_seconds() override { return platform_now_seconds(); }
    void sleep_ms(std::uint32_t milliseconds) override { platform_sleep_ms(milliseconds); }
};

platform_clock real_clock;
run_clock* installed_clock = nullptr;
}  // namespace

run_clock& active_clock() { return installed_clock ? *installed_clock : real_clock; }

void install_clock(run_clock* clock) { installed_clock = clock; }
