// A drive that was just powered on, reset or loaded answers BUSY, UNIT
// ATTENTION or NOT READY for a few seconds. An identification command that
// meets one of these is asked again a little later, so that a drive that is
// merely settling is not taken for one without the page (or for one running
// version 0).
#pragma once

#include <cstdint>

#include "platform/clock.h"
#include "scsi/scsi_device.h"

constexpr int settle_retries = 3;
constexpr std::uint32_t settle_retry_pause_ms = 1000;

// True when the last command failed only because the drive is still settling:
// CHECK CONDITION with NOT READY or UNIT ATTENTION, or, when `busy_counts`,
// BUSY.
bool is_settling(const scsi_device& device, bool busy_counts = true);

// Runs `command` (which returns a builder's result) and, while it fails with
// the drive settling, up to settle_retries more times, a pause apart.
// Returns the last result. A caller with a BUSY wait of its own passes
// `busy_counts` false.
template <typename Command>
int retry_while_settling(scsi_device& device, Command command, bool busy_counts = true) {
    int result = command();
    for (int retry = 0; retry < settle_retries && result < 0 && is_settling(device, busy_counts); ++retry) {
        active_clock().sleep_ms(settle_retry_pause_ms);
        result = command();
    }
    return result;
}
