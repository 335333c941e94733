// One run at a time per host. Two runs that plan the same drives would each
// send every drive a whole image and its activation, and each call that a
// success; so a run holds the host's lock from before its scan to its end,
// and a second run waits for it a little, then gives up before it touches
// any drive. POSIX: flock(2) on a file, which the system lets go when the
// process ends however it ends; Windows: a named mutex, which the system
// hands on as abandoned when its owner dies.
#pragma once

#include <cstdint>
#include <string>

class run_clock;  // platform/clock.h

// How long a second run waits for the first before it gives up.
constexpr std::uint32_t run_lock_wait_ms = 10000;

// The lock of this host: $KVFW_LOCK when set and not empty; else, on the
// simulated bus (`bus_path` not empty), the bus file's path with ".lock"
// added, so that rehearsals on different bus files never wait for each
// other; else /run/lock/kvtapefw.lock (Windows: the mutex Global\kvtapefw).
std::string run_lock_name(const std::string& bus_path);

enum class run_lock_state { held, busy, failed };

class host_run_lock {
public:
    host_run_lock() = default;
    ~host_run_lock() { release(); }
    host_run_lock(const host_run_lock&) = delete;
    host_run_lock& operator=(const host_run_lock&) = delete;

    // Takes the lock, trying again every 100 ms of `clock` (the simulated
    // bus's own on a rehearsal) for at most `wait_ms`; a request to stop
    // ends the wait. `busy`: another run holds it, `holder()` names its
    // process (0 when that could not be learnt). `failed`: the lock could
    // not be made at all, `failure()` says why.
    run_lock_state take(const std::string& name, std::uint32_t wait_ms, run_clock& clock);
    long holder() const { return holder_; }
    const std::string& failure() const { return failure_; }

private:
    // One attempt, without waiting. Per system.
    run_lock_state try_take(const std::string& name);
    void release();

    std::intptr_t handle_ = -1;     // the lock file's descriptor; the mutex's handle on Windows
    std::intptr_t pid_store_ = -1;  // Windows: where the holder's process number is kept
    bool taken_ = false;            // Windows: the mutex is owned, not only opened
    long holder_ = 0;
    std::string failure_;
};

// The one line a run that gave up waiting says, or that could not take the
// lock at all: "kvtapefw: another kvtapefw run (pid %d) is running on this
// host". Empty when the lock is held.
std::string run_lock_refusal(const host_run_lock& lock, run_lock_state state, const std::string& name);
