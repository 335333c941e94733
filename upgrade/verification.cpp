#include "upgrade/verification.h"

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "inventory/discovery.h"
#include "inventory/text_field.h"
#include "log/setup_log.h"
#include "platform/clock.h"
#include "platform/interrupt.h"
#include "upgrade/action_words.h"
#include "upgrade/serial_lines.h"
#include "upgrade/settle_wait.h"

namespace {

// " here 3", like flashing's " here 2", is a console line deployment scripts
// count failed drives by: it stays as it is.
void report_failed(std::uint32_t drive_id, const text_field<512>& product_id) {
    log_line("Drive ID: %#08x, Product ID: %s, Action: Failed\n", drive_id, escaped_text(text_of(product_id)).c_str());
    std::printf("\n here 3\n");
}

bool same_address(const scsi_device& a, const scsi_device& b) {
    return a.card == b.card && a.address == b.address && a.lun == b.lun;
}

// A work record's serial number finds its drive only when it tells that
// drive apart: a serial number that another record carries too (two drives
// of a document, say) is none, and the drives are told apart by device
// number. (The scans drop the serial numbers that two drives answer.)
bool serial_tells_apart(const drive_table& work, std::size_t slot) {
    const std::string_view serial = text_of(work[slot].serial);
    if (serial.empty()) return false;
    for (std::size_t other = 0; other < work.size(); ++other) {
        if (other != slot && work[other].in_use != 0 && same_serial(text_of(work[other].serial), serial)) return false;
    }
    return true;
}

// Which drive of the scan is each work record's own: its index in the found
// table, or -1. A drive with a serial number is that drive wherever it
// answers (hosts hand out device numbers in the order drives come back, so
// two drives that restarted together can swap): looked for at its own device
// number first, then at every other. A drive without one is the drive at its
// own device number, as long as no serial number claimed that one. So is,
// last, the drive at the device number of a record whose serial number no
// drive answers: taken only to be judged as one that answers another serial
// number (`other_serial`), never as the record's drive.
// Before all that, a drive that was sent no image did not restart, so it
// cannot have moved: the drive at its device number is its own, whatever
// serial number it answers now or fails to answer, and never a flashed drive
// that came back there.
// A flashed drive without a serial number is not told from another flashed
// drive that restarted onto its number without answering one: while a
// flashed drive with a serial number is not found, such a drive at its
// number is `not_told`, neither its drive nor another's.
struct drive_matches {
    std::array<int, drive_table_slots> found_for{};      // by work slot
    std::array<int, drive_table_slots> slot_for{};       // by found index
    std::array<bool, drive_table_slots> other_serial{};  // by work slot
    std::array<int, drive_table_slots> not_told{};       // by work slot: the found index, or -1
};

// The serial number a drive answered, shared or not; empty when none could be read.
std::string_view answered_serial(const drive_record& drive) {
    return drive.serial[0] != '\0' ? text_of(drive.serial) : text_of(drive.shared_serial);
}

drive_matches match_drives(const drive_table& work, const drive_table& found, int count,
                           const flash_results& results) {
    drive_matches matches;
    matches.found_for.fill(-1);
    matches.slot_for.fill(-1);
    matches.not_told.fill(-1);
    const auto take = [&](std::size_t slot, int index) {
        matches.found_for[slot] = index;
        matches.slot_for[static_cast<std::size_t>(index)] = static_cast<int>(slot);
    };
    const auto free_where = [&](const std::function<bool(const drive_record&)>& fits) {
        for (int index = 0; index < count; ++index) {
            const drive_record& drive = found[static_cast<std::size_t>(index)];
            if (matches.slot_for[static_cast<std::size_t>(index)] < 0 && fits(drive)) return index;
        }
        return -1;
    };
    const auto other_serial = [&](std::size_t slot, const drive_record& drive) {
        // A drive there that answers the record's serial number along with
        // another drive is matched by device number, as drives without one;
        // one that was sent nothing and whose serial number could not be
        // read this time is the same drive.
        const drive_record& planned = work[slot];
        if (!results[slot].sent_image && answered_serial(drive).empty()) return false;
        return serial_tells_apart(work, slot) && !same_serial(text_of(drive.shared_serial), text_of(planned.serial));
    };
    for (std::size_t slot = 0; slot < work.size(); ++slot) {
        const drive_record& planned = work[slot];
        if (planned.in_use == 0 || results[slot].sent_image) continue;
        const int index = free_where([&](const drive_record& drive) { return same_address(drive.device, planned.device); });
        if (index < 0) continue;
        take(slot, index);
        const drive_record& drive = found[static_cast<std::size_t>(index)];
        matches.other_serial[slot] = !same_serial(text_of(drive.serial), text_of(planned.serial)) && other_serial(slot, drive);
    }
    for (std::size_t slot = 0; slot < work.size(); ++slot) {
        const drive_record& planned = work[slot];
        if (planned.in_use == 0 || matches.found_for[slot] >= 0 || !serial_tells_apart(work, slot)) continue;
        const auto same = [&](const drive_record& drive) {
            return same_serial(text_of(drive.serial), text_of(planned.serial));
        };
        int index = free_where([&](const drive_record& drive) {
            return same(drive) && same_address(drive.device, planned.device);
        });
        // A drive keeps its drive ID through a restart: one at another
        // number whose drive ID differs, or could not be read, is not shown
        // to be this drive, whatever serial number it answers.
        if (index < 0) {
            index = free_where([&](const drive_record& drive) {
                return same(drive) && drive.drive_id_read && drive.drive_id == planned.drive_id;
            });
        }
        if (index >= 0) take(slot, index);
    }
    // Only a drive of the same drive ID can be the missing one.
    const auto flashed_serial_missing = [&](const drive_record& drive) {
        for (std::size_t slot = 0; slot < work.size(); ++slot) {
            if (work[slot].in_use != 0 && results[slot].sent_image && serial_tells_apart(work, slot) &&
                matches.found_for[slot] < 0 && (!drive.drive_id_read || drive.drive_id == work[slot].drive_id)) {
                return true;
            }
        }
        return false;
    };
    for (std::size_t slot = 0; slot < work.size(); ++slot) {
        const drive_record& planned = work[slot];
        if (planned.in_use == 0 || matches.found_for[slot] >= 0) continue;
        const int index = free_where([&](const drive_record& drive) { return same_address(drive.device, planned.device); });
        if (index < 0) continue;
        const drive_record& drive = found[static_cast<std::size_t>(index)];
        if (!serial_tells_apart(work, slot) && answered_serial(drive).empty() && flashed_serial_missing(drive)) {
            matches.not_told[slot] = index;
            continue;
        }
        take(slot, index);
        matches.other_serial[slot] = other_serial(slot, drive);
    }
    return matches;
}

// Versions are compared exactly: the drive reports the very number the image
// carries, so any difference means the image was not taken up as promised.
// A drive to be flashed must have taken its download whole and now run the
// catalogue's version; one that already ran it must still run it; a drive
// left as it was must still run what it ran before.
bool kept_promise(const drive_record& planned, const flash_result& result, const drive_record& found) {
    switch (result.outcome) {
        case flash_outcome::not_asked:
            return text_of(planned.action) == action_skip && found.fw_version == planned.fw_version;
        case flash_outcome::already_at_target:
        case flash_outcome::download_completed:
            return found.fw_version == result.target_version;
        case flash_outcome::nothing_sent:
        case flash_outcome::download_started:
        case flash_outcome::download_failed:
            return false;
    }
    return false;
}

// "answers serial number HU99 after its restart", or that none could be read.
void report_serial_after_restart(const drive_record& planned, const drive_record& found) {
    const std::string_view answered = found.serial[0] != '\0' ? text_of(found.serial) : text_of(found.shared_serial);
    const std::string serial = escaped_text(text_of(planned.serial));
    const unsigned address = static_cast<unsigned>(planned.device.address);
    if (answered.empty()) {
        report("Drive %s (device %u) serial number could not be read after its restart\n", serial.c_str(), address);
    } else {
        report("Drive %s (device %u) answers serial number %s after its restart\n", serial.c_str(), address,
               escaped_text(answered).c_str());
    }
}

int check_found_drive(const drive_record& found, int slot, bool other_serial, const drive_table& work,
                      flash_results& results) {
    const drive_record* planned = slot < 0 ? nullptr : &work[static_cast<std::size_t>(slot)];
    // A drive that was sent image data restarted: one that answers another
    // serial number afterwards is not known to be it, and fails. One that
    // was sent nothing did not restart: another serial number is another
    // drive.
    const bool restarted = planned && results[static_cast<std::size_t>(slot)].sent_image;
    // A drive ID that could not be read tells no other drive: such a drive
    // is judged as unidentified.
    const bool another_drive =
        planned && ((found.drive_id_read && found.drive_id != planned->drive_id) || (other_serial && !restarted));
    if (planned == nullptr || (another_drive && !asks_for_flash(text_of(planned->action)))) {
        if (planned) results[static_cast<std::size_t>(slot)].judged = judgement::replaced;
        log_line("Drive ID: %#08x, Product ID: %s is not suggested to be upgraded.\n", found.drive_id,
                 escaped_text(text_of(found.product_id)).c_str());
        return 0;
    }
    // A drive whose version cannot be read has not shown that it kept the
    // promise, whatever it was. Only a drive whose pages were read is asked
    // for its serial number.
    flash_result& result = results[static_cast<std::size_t>(slot)];
    const bool pages_read = found.drive_id_read && found.fw_version_read;
    result.judged = another_drive                           ? judgement::another_drive
                    : !pages_read                           ? judgement::unidentified
                    : other_serial                          ? judgement::serial_changed
                    : !is_identified(found)                 ? judgement::unidentified
                    : kept_promise(*planned, result, found) ? judgement::kept
                                                            : judgement::not_kept;
    if (result.judged == judgement::kept) {
        log_line("Drive ID: %#08x, Product ID: %s, Action: %s\n", found.drive_id,
                 escaped_text(text_of(found.product_id)).c_str(), escaped_text(text_of(planned->action)).c_str());
        return 0;
    }
    if (result.judged == judgement::serial_changed) report_serial_after_restart(*planned, found);
    report_failed(found.drive_id, found.product_id);
    if (found.read_failure[0] != '\0') log_line("%s\n", found.read_failure.data());
    return 1;
}

int scan_again(drive_table& found) {
    const int count = discover_drives(found);
    return std::clamp(count, 0, static_cast<int>(found.size()));
}

// A drive that was sent an image and is not found afterwards may be left
// without working firmware: the worst outcome of a run, never a success. (A
// drive that was found was judged above.)
int check_missing_drives(const drive_table& work, flash_results& results, const drive_matches& matches) {
    int failures = 0;
    for (std::size_t slot = 0; slot < work.size(); ++slot) {
        const drive_record& planned = work[slot];
        if (planned.in_use == 0 || !asks_for_flash(text_of(planned.action))) continue;
        if (matches.found_for[slot] >= 0) continue;
        results[slot].judged = matches.not_told[slot] >= 0 ? judgement::not_told_apart : judgement::missing;
        report_failed(planned.drive_id, planned.product_id);
        ++failures;
    }
    return failures;
}

// A drive at its device number that answers another serial number may have
// taken the number while the record's drive is still restarting.
bool back(const drive_matches& matches, std::size_t slot) {
    return matches.found_for[slot] >= 0 && !matches.other_serial[slot];
}

// The work records that were sent an image and whose drive the scan did not
// find: a drive taking up a large image, or one that runs its power-on self
// test, can take longer to come back than the settle wait.
std::vector<std::size_t> late_drives(const drive_table& work, const flash_results& results,
                                     const drive_matches& matches) {
    std::vector<std::size_t> late;
    for (std::size_t slot = 0; slot < work.size(); ++slot) {
        if (work[slot].in_use != 0 && results[slot].sent_image && !back(matches, slot)) late.push_back(slot);
    }
    return late;
}

// Back means taken by the scan again: a drive on Linux may open while it
// still answers NOT READY. A drive with a serial number may come back at any
// device number, so the whole bus is scanned for it; one without is looked
// for at its own.
bool all_back(const drive_table& work, const flash_results& results, const std::vector<std::size_t>& late,
              drive_table& found) {
    bool any_serial = false;
    for (const std::size_t slot : late) any_serial = any_serial || serial_tells_apart(work, slot);
    if (any_serial) {
        const int count = scan_again(found);
        const drive_matches matches = match_drives(work, found, count, results);
        for (const std::size_t slot : late) {
            if (!back(matches, slot)) return false;
        }
        return true;
    }
    for (const std::size_t slot : late) {
        scsi_device probe{};
        probe.card = work[slot].device.card;
        probe.address = work[slot].device.address;
        probe.lun = work[slot].device.lun;
        drive_record record{};
        if (read_drive_at(probe, record) != device_finding::taken) return false;
    }
    return true;
}

// Waits until every late drive is back, looking every check interval, for at
// most the longest wait.
void wait_for_late_drives(const drive_table& work, const flash_results& results, const std::vector<std::size_t>& late,
                          drive_table& found, progress_line& progress) {
    for (const std::size_t slot : late) {
        log_line("Waiting for tape device %u to come back after its download (at most %u more seconds)\n",
                 static_cast<unsigned>(work[slot].device.address), static_cast<unsigned>(late_drive_wait_ms / 1000));
    }
    // Measured on the clock from here, so that the commands to a drive that
    // hangs count against the wait too.
    const std::int64_t started = active_clock().now_seconds();
    const std::int64_t longest = late_drive_wait_ms / 1000;
    for (std::int64_t waited = 0; waited < longest; waited = active_clock().now_seconds() - started) {
        const std::uint32_t left_ms = static_cast<std::uint32_t>((longest - waited) * 1000);
        countdown_wait(std::min(late_drive_check_ms, left_ms), left_ms, progress);
        if (stop_requested() || all_back(work, results, late, found)) break;
    }
    progress.finish();
}

}  // namespace

int verify_drives(const drive_table& work, flash_results& results, progress_line& progress, drive_table& found) {
    // A request to stop ends the verification where it stands; the caller
    // tells the drives as not verified.
    int count = scan_again(found);
    if (stop_requested()) return 0;
    const std::vector<std::size_t> late = late_drives(work, results, match_drives(work, found, count, results));
    if (!late.empty()) {
        wait_for_late_drives(work, results, late, found, progress);
        if (stop_requested()) return 0;
        count = scan_again(found);
        if (stop_requested()) return 0;
    }

    log_unusable_serials(found);
    const drive_matches matches = match_drives(work, found, count, results);
    int failures = 0;
    for (int index = 0; index < count; ++index) {
        const drive_record& drive = found[static_cast<std::size_t>(index)];
        const int slot = matches.slot_for[static_cast<std::size_t>(index)];
        const bool other_serial = slot >= 0 && matches.other_serial[static_cast<std::size_t>(slot)];
        if (slot >= 0) {
            const drive_record& planned = work[static_cast<std::size_t>(slot)];
            results[static_cast<std::size_t>(slot)].found_at = index;
            // Only a serial number takes a drive at another device number.
            if (!same_address(drive.device, planned.device)) {
                report("Drive %s (device %u) came back as device %u\n", escaped_text(text_of(planned.serial)).c_str(),
                       static_cast<unsigned>(planned.device.address), static_cast<unsigned>(drive.device.address));
            }
        }
        failures += check_found_drive(drive, slot, other_serial, work, results);
    }
    return failures + check_missing_drives(work, results, matches);
}
