// The wait after the last download, while the drives take up their new
// firmware and restart, before they are scanned again.
#pragma once

#include <cstdint>

#include "upgrade/progress.h"

constexpr std::uint32_t settle_wait_ms = 150000;

// Sleeps the whole length. With a visible progress line it sleeps a second at
// a time and counts down; otherwise it is one sleep.
void settle_wait(std::uint32_t milliseconds, progress_line& progress);

// One step of the longer wait for drives that are late to come back: sleeps
// `milliseconds` like settle_wait, counting down from `left_ms`, the most the
// whole wait may still last, and leaves the progress line showing.
void countdown_wait(std::uint32_t milliseconds, std::uint32_t left_ms, progress_line& progress);
