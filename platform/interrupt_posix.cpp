#include "platform/interrupt.h"

#include <signal.h>

#include <array>

namespace {

constexpr std::array<int, 3> held_signals = {SIGINT, SIGTERM, SIGHUP};

// Written by the signal handler, hence the one type a handler may set.
volatile sig_atomic_t interrupt_arrived = 0;
// The dispositions to put back: a run started under nohup keeps ignoring
// SIGHUP after the download.
std::array<struct sigaction, held_signals.size()> saved{};

extern "C" void note_interrupt(int) { interrupt_arrived = 1; }

}  // namespace

interrupts_held::interrupts_held() {
    struct sigaction hold {};
    hold.sa_handler = note_interrupt;
    sigemptyset(&hold.sa_mask);
    // A command the drive is running is never broken off by the handler.
    hold.sa_flags = SA_RESTART;
    for (std::size_t i = 0; i < held_signals.size(); ++i) {
        sigaction(held_signals[i], nullptr, &saved[i]);
        // One the caller chose to ignore stays ignored.
        if (saved[i].sa_handler != SIG_IGN) sigaction(held_signals[i], &hold, nullptr);
    }
}

interrupts_held::~interrupts_held() {
    for (std::size_t i = 0; i < held_signals.size(); ++i) sigaction(held_signals[i], &saved[i], nullptr);
}

bool interrupt_was_held() { return interrupt_arrived != 0; }
