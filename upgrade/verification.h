// After the settle wait: scans the bus again and checks every drive found
// against what its action promised and what flashing did with it.
#pragma once

#include <array>
#include <cstdint>

#include "inventory/drive_table.h"
#include "upgrade/download.h"
#include "upgrade/image_check.h"
#include "upgrade/progress.h"

// What flashing did with one work record.
enum class flash_outcome : std::uint8_t {
    not_asked,           // the action asks for no flash ("skip", or no action word)
    nothing_sent,        // a flash was asked and nothing was sent: refused,
                         // unreachable, no catalogue entry, no usable image
    already_at_target,   // a flash was asked and the drive already runs its target
    download_started,    // its first chunk is about to go, or went, and the
                         // download has not ended yet
    download_failed,     // the download did not run to its end
    download_completed,  // every chunk and the closing command were accepted
};

// How verification found the drive at a work record's address.
enum class judgement : std::uint8_t {
    not_judged,     // no verification ran
    kept,           // the drive runs what its action promised
    not_kept,       // it answers there but does not run that
    unidentified,   // it answers there but its version could not be read
    another_drive,  // another drive answers there
    replaced,       // another drive answers where one was to be left as it
                    // was: no failure, but no plan for the drive found
    missing,        // a drive to be flashed, and nothing answers there
    serial_changed, // it was sent image data, and the drive at its address
                    // answers another serial number after its restart, or
                    // none that can be read: not known to be the same drive
    not_told_apart, // it was sent image data and has no serial number; the
                    // drive at its address answers none either, while a
                    // flashed drive with one is not found: either may be it
};

struct flash_result {
    flash_outcome outcome;
    bool sent_image;        // a WRITE BUFFER carrying image data went out
    double target_version;  // the catalogue's version for the drive
    // What the run report tells of it.
    const char* refusal;       // why nothing was sent, when a flash was asked
    bool image_opened;         // flashing went as far as the image: `image` holds
    image_facts image;
    download_result download;  // commands, bytes and the first failure
    judgement judged;
    int found_at = -1;         // the drive's index in the verification scan; -1 when not found
};

// By work-table slot.
using flash_results = std::array<flash_result, drive_table_slots>;

// A drive that was sent an image and is still restarting when the bus is
// scanned again is waited for, checked this often, at most this much longer.
constexpr std::uint32_t late_drive_check_ms = 10000;
constexpr std::uint32_t late_drive_wait_ms = 450000;

// Logs one line per re-discovered drive, judged against its own work record
// (the one with its serial number, wherever it answers now; without one, the
// one at its card, address and lun) and the result of its flash, then one
// line per work record that asked for a flash and whose drive was not found.
// A serial number counts only where it tells drives apart: one that two work
// records carry, or that two drives of the scan answer, is none, and those
// drives are matched by device number. A drive found at another device
// number than its record's is said so ("Drive <serial> (device N) came back
// as device M"); a drive sent image data whose address now holds a drive
// with another serial number, or none that could be read, fails and is said
// so ("Drive <serial> (device N) answers serial number <serial> after its
// restart", "Drive <serial> (device N) serial number could not be read
// after its restart"). Each result's `judged` says how. `found` is left with
// the drives of the last scan. Returns the failures.
int verify_drives(const drive_table& work, flash_results& results, progress_line& progress, drive_table& found);
