#include "upgrade/verification.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "inventory/discovery.h"
#include "inventory/text_field.h"
#include "log/setup_log.h"
#include "platform/clock.h"
#include "platform/interrupt.h"
#include "upgrade/action_words.h"
#include "upgrade/settle_wait.h"

namespace {

// " here 3", like flashing's " here 2", is a console line deployment scripts
// count failed drives by: it stays as it is.
void report_failed(std::uint32_t drive_id, const char* product_id) {
    log_line("Drive ID: %#08x, Product ID: %s, Action: Failed\n", drive_id, product_id);
    std::printf("\n here 3\n");
}

bool same_address(const scsi_device& a, const scsi_device& b) {
    return a.card == b.card && a.address == b.address && a.lun == b.lun;
}

// A drive is judged against the plan for its own address: another drive of
// the same configuration elsewhere on the bus says nothing about this one.
// Returns the work-table slot, or -1.
int planned_at(const scsi_device& device, const drive_table& work) {
    for (std::size_t slot = 0; slot < work.size(); ++slot) {
        if (work[slot].in_use != 0 && same_address(work[slot].device, device)) return static_cast<int>(slot);
    }
    return -1;
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

int check_found_drive(const drive_record& found, const drive_table& work, flash_results& results) {
    const int slot = planned_at(found.device, work);
    const drive_record* planned = slot < 0 ? nullptr : &work[static_cast<std::size_t>(slot)];
    const bool another_drive = planned && found.drive_id != planned->drive_id;
    if (planned == nullptr || (another_drive && !asks_for_flash(text_of(planned->action)))) {
        if (planned) results[static_cast<std::size_t>(slot)].judged = judgement::replaced;
        log_line("Drive ID: %#08x, Product ID: %s is not suggested to be upgraded.\n", found.drive_id,
                 found.product_id.data());
        return 0;
    }
    // A drive whose version cannot be read has not shown that it kept the
    // promise, whatever it was.
    flash_result& result = results[static_cast<std::size_t>(slot)];
    result.judged = another_drive          ? judgement::another_drive
                    : !is_identified(found) ? judgement::unidentified
                    : kept_promise(*planned, result, found) ? judgement::kept
                                                            : judgement::not_kept;
    if (result.judged == judgement::kept) {
        log_line("Drive ID: %#08x, Product ID: %s, Action: %s\n", found.drive_id, found.product_id.data(),
                 escaped_text(text_of(planned->action)).c_str());
        return 0;
    }
    report_failed(found.drive_id, found.product_id.data());
    if (found.read_failure[0] != '\0') log_line("%s\n", found.read_failure.data());
    return 1;
}

bool answered_at(const scsi_device& device, const drive_table& found, int count) {
    for (int slot = 0; slot < count; ++slot) {
        if (same_address(found[static_cast<std::size_t>(slot)].device, device)) return true;
    }
    return false;
}

// A drive that was sent an image and does not answer at its address afterwards
// may be left without working firmware: the worst outcome of a run, never a
// success. (A drive that answers there was judged above.)
int check_missing_drives(const drive_table& work, flash_results& results, const drive_table& found, int count) {
    int failures = 0;
    for (std::size_t slot = 0; slot < work.size(); ++slot) {
        const drive_record& planned = work[slot];
        if (planned.in_use == 0 || !asks_for_flash(text_of(planned.action))) continue;
        if (answered_at(planned.device, found, count)) continue;
        results[slot].judged = judgement::missing;
        report_failed(planned.drive_id, planned.product_id.data());
        ++failures;
    }
    return failures;
}

int scan_again(drive_table& found) {
    const int count = discover_drives(found);
    return std::clamp(count, 0, static_cast<int>(found.size()));
}

// The devices that were sent an image and did not answer the scan: a drive
// taking up a large image, or one that runs its power-on self test, can
// take longer to come back than the settle wait.
std::vector<scsi_device> late_drives(const drive_table& work, const flash_results& results, const drive_table& found,
                                     int count) {
    std::vector<scsi_device> late;
    for (std::size_t slot = 0; slot < work.size(); ++slot) {
        if (work[slot].in_use == 0 || !results[slot].sent_image) continue;
        if (!answered_at(work[slot].device, found, count)) late.push_back(work[slot].device);
    }
    return late;
}

// Back means taken by the scan again: a drive on Linux may open while it
// still answers NOT READY.
bool all_back(const std::vector<scsi_device>& devices) {
    for (const scsi_device& device : devices) {
        scsi_device probe{};
        probe.card = device.card;
        probe.address = device.address;
        probe.lun = device.lun;
        drive_record record{};
        if (read_drive_at(probe, record) != device_finding::taken) return false;
    }
    return true;
}

// Waits until every late drive is back, looking every check interval, for at
// most the longest wait.
void wait_for_late_drives(const std::vector<scsi_device>& late, progress_line& progress) {
    for (const scsi_device& device : late) {
        log_line("Waiting for tape device %u to come back after its download (at most %u more seconds)\n",
                 static_cast<unsigned>(device.address), static_cast<unsigned>(late_drive_wait_ms / 1000));
    }
    // Measured on the clock from here, so that the commands to a drive that
    // hangs count against the wait too.
    const std::int64_t started = active_clock().now_seconds();
    const std::int64_t longest = late_drive_wait_ms / 1000;
    for (std::int64_t waited = 0; waited < longest; waited = active_clock().now_seconds() - started) {
        const std::uint32_t left_ms = static_cast<std::uint32_t>((longest - waited) * 1000);
        countdown_wait(std::min(late_drive_check_ms, left_ms), left_ms, progress);
        if (stop_requested() || all_back(late)) break;
    }
    progress.finish();
}

}  // namespace

int verify_drives(const drive_table& work, flash_results& results, progress_line& progress, drive_table& found) {
    // A request to stop ends the verification where it stands; the caller
    // tells the drives as not verified.
    int count = scan_again(found);
    if (stop_requested()) return 0;
    const std::vector<scsi_device> late = late_drives(work, results, found, count);
    if (!late.empty()) {
        wait_for_late_drives(late, progress);
        if (stop_requested()) return 0;
        count = scan_again(found);
        if (stop_requested()) return 0;
    }

    int failures = 0;
    for (int slot = 0; slot < count; ++slot) {
        failures += check_found_drive(found[static_cast<std::size_t>(slot)], work, results);
    }
    return failures + check_missing_drives(work, results, found, count);
}
