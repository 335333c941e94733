#include "platform/run_lock.h"

#include "platform/clock.h"
#include "platform/interrupt.h"
#include "platform/platform.h"

namespace {
constexpr std::uint32_t retry_ms = 100;
}  // namespace

std::string run_lock_name(const std::string& bus_path) {
    const std::string named = environment_variable("KVFW_LOCK");
    if (!named.empty()) return named;
    if (!bus_path.empty()) return bus_path + ".lock";
    return default_run_lock_name();
}

run_lock_state host_run_lock::take(const std::string& name, std::uint32_t wait_ms, run_clock& clock) {
    release();
    for (std::uint32_t waited = 0;; waited += retry_ms) {
        const run_lock_state state = try_take(name);
        if (state != run_lock_state::busy || waited >= wait_ms || stop_requested()) return state;
        clock.sleep_ms(retry_ms);
    }
}

std::string run_lock_refusal(const host_run_lock& lock, run_lock_state state, const std::string& name) {
    if (state == run_lock_state::busy) {
        return "kvtapefw: another kvtapefw run (pid " + std::to_string(lock.holder()) + ") is running on this host";
    }
    if (state == run_lock_state::failed) {
        return "kvtapefw: the run lock " + name + " could not be taken (" + lock.failure() + ")";
    }
    return "";
}
