#include "platform/interrupt.h"

#include <pthread.h>
#include <signal.h>

#include <array>

namespace {

constexpr std::array<int, 3> held_signals = {SIGINT, SIGTERM, SIGHUP};

// Set once an interrupt was taken up at the end of a download.
bool interrupt_arrived = false;

// The held signals, less those the caller chose to ignore (a run under nohup
// keeps ignoring SIGHUP).
sigset_t signals_to_hold() {
    sigset_t set;
    sigemptyset(&set);
    for (const int signal_number : held_signals) {
        struct sigaction current {};
        if (sigaction(signal_number, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) continue;
        sigaddset(&set, signal_number);
    }
    return set;
}

// The signals held during the download, and the mask in force before it,
// put back after it. The program has one thread, and downloads are not
// nested.
sigset_t held_set;
sigset_t saved_mask;

}  // namespace

// The signals are blocked rather than caught: a blocked signal interrupts no
// system call, so no command to a drive is broken off or started again, and
// it waits, pending, until the download has ended.
interrupts_held::interrupts_held() {
    held_set = signals_to_hold();
    pthread_sigmask(SIG_BLOCK, &held_set, &saved_mask);
}

interrupts_held::~interrupts_held() {
    sigset_t pending;
    sigemptyset(&pending);
    sigpending(&pending);
    for (const int signal_number : held_signals) {
        if (!sigismember(&held_set, signal_number) || !sigismember(&pending, signal_number)) continue;
        // Taken up here, so that it does not end the program when it is
        // unblocked; the run stops in order instead.
        sigset_t one;
        sigemptyset(&one);
        sigaddset(&one, signal_number);
        int taken = 0;
        sigwait(&one, &taken);
        interrupt_arrived = true;
    }
    pthread_sigmask(SIG_SETMASK, &saved_mask, nullptr);
}

bool interrupt_was_held() { return interrupt_arrived; }
