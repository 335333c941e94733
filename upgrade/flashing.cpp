#include "upgrade/flashing.h"

#include <cstdio>
#include <functional>
#include <memory>
#include <string>

#include "inventory/catalogue.h"
#include "inventory/text_field.h"
#include "log/setup_log.h"
#include "platform/interrupt.h"
#include "platform/platform.h"
#include "scsi/scsi_commands.h"
#include "upgrade/action_words.h"
#include "upgrade/download.h"
#include "upgrade/flash_account.h"
#include "upgrade/image_check.h"
#include "upgrade/image_file.h"
#include "upgrade/progress.h"
#include "upgrade/settle_wait.h"
#include "upgrade/target_check.h"
#include "upgrade/transfer_buffer.h"
#include "upgrade/verification.h"

namespace {

constexpr int reserve_for_no_third_party = 255;
// Each chunk is written to the drive's flash memory before the command ends.
constexpr std::int32_t download_timeout_ms = 100000;

struct flash_run {
    int attempted = 0;
    int failures = 0;
    const std::function<std::string()>* checkpoint = nullptr;
    bool stopped = false;            // a request to stop came before a drive was opened
    std::string record_failure;      // the report could not be brought up to date before a drive's first chunk
    std::unique_ptr<transfer_buffer> buffer = std::make_unique<transfer_buffer>();
    image_store images;
    progress_line progress{stderr, stderr_is_terminal()};
};

void log_download_start(const drive_record& record, const text_field<512>& image_path) {
    log_line("Drive ID: %#08x, Product ID: %s, Action: %s\n", record.drive_id,
             escaped_text(text_of(record.product_id)).c_str(), escaped_text(text_of(record.action)).c_str());
    log_line("File name: %s\n", image_path.data());
}

// The console line " here 2" (and " here 3" in verification) reads like a
// leftover, but deployment scripts look for it to count drives that failed:
// it stays as it is.
void report_unreachable(flash_run& run, flash_result& result, const scsi_device* refused_by) {
    log_line("Error: Unable to access tape drive.\n");
    result.refusal = "the drive could not be opened";
    if (refused_by) {
        log_scsi_failure("RESERVE(6)", *refused_by);
        result.refusal = "another host holds a reservation on the drive";
        result.download.failure = {"RESERVE(6)", *refused_by, {}};
    }
    ++run.failures;
    std::printf("\n here 2\n");
}

// Opens and reserves the drive, streams the image and closes the drive again.
void flash_drive(const drive_record& record, const drive_record& entry, flash_run& run, flash_result& result) {
    scsi_device device = record.device;
    text_field<512> image_path{};
    build_image_path(image_path, entry.firmware_file.data());
    const bool ktr320 = text_of(record.product_id) == "KTR320";

    // The image is opened, measured and checked before the drive is: one that
    // is not the image the catalogue vouches for, or that the KTR320's buffer
    // offsets cannot address, is refused with nothing sent (not even
    // RESERVE) and no wait caused. Its other problems are logged in their
    // place below.
    const char* image_problem = nullptr;
    firmware_image* image = run.images.ready(entry, image_path.data(), *run.buffer, image_problem, &result.image);
    result.image_opened = true;
    if (image == nullptr && image_problem == nullptr) {
        result.refusal = result.image.refusal;
        ++run.failures;
        return;
    }
    if (ktr320 && image && !fits_ktr320_buffer(image->size)) {
        result.refusal = "its image is too large for the drive's download buffer";
        log_download_start(record, image_path);
        log_line("Firmware download failed!\n");
        return;
    }

    // From RESERVE to the closing command, a request to stop waits: a drive
    // left with half an image may not start again. One that came before
    // (while the image was hashed and copied, which takes a while for a
    // large one) is honoured here, before the drive is opened: it is sent
    // nothing at all.
    const interrupts_held held;
    if (stop_requested()) {
        run.stopped = true;
        return;
    }
    if (scsi_open(device) != 0) {
        report_unreachable(run, result, nullptr);
        return;
    }
    // RESERVE still runs with the short timeout open sets; only the download
    // commands need the long one. A reservation conflict means another host
    // holds the drive (a backup may be writing): nothing is sent to it.
    const bool reserved = scsi_reserve_unit(device, reserve_for_no_third_party) >= 0;
    if (device.scsi_status == scsi_status_reservation_conflict) {
        scsi_close(device);
        report_unreachable(run, result, &device);
        return;
    }
    // Any other refusal does not stop the download (the drive may not know
    // reservations), but whoever reads the log should see it.
    const scsi_device reserve_outcome = device;
    scsi_set_timeout(device, download_timeout_ms);

    log_download_start(record, image_path);
    if (!reserved) log_scsi_failure("RESERVE(6)", reserve_outcome);
    if (image_problem) {
        result.refusal = "its image could not be opened";
        log_line("%s", image_problem);
        scsi_close(device);
        return;
    }
    // The record on disk names the drive before its first byte goes out; a
    // record that cannot say so would lie about the drive, so it is sent
    // nothing and no further drive is flashed.
    result.sent_image = true;
    result.outcome = flash_outcome::download_started;
    if (*run.checkpoint) run.record_failure = (*run.checkpoint)();
    if (!run.record_failure.empty()) {
        result.sent_image = false;
        result.outcome = flash_outcome::nothing_sent;
        result.refusal = "the run report could not be written before it was flashed";
        scsi_close(device);
        ++run.failures;
        return;
    }
    const download_result download = ktr320 ? download_ktr320(device, *image, *run.buffer, run.progress)
                                            : download_standard(device, *image, *run.buffer, run.progress);
    scsi_close(device);
    ++run.attempted;
    result.sent_image = download.sent_image;
    result.download = download;
    result.outcome = download.completed ? flash_outcome::download_completed : flash_outcome::download_failed;
    // Said on standard error when it fails; the drive has its image by now.
    if (*run.checkpoint) (*run.checkpoint)();
}

// The image of the next record of the work table that asks for a flash, or
// nullptr when none is left. A held copy is kept only for the drive right
// after: drives of different images in address order then never hold two
// copies at once, so the folder for temporary files needs room for the
// largest image only (an image that comes back later is read again, and
// checked again).
const char* next_image(std::size_t slot, const drive_table& work, const drive_table& catalogue) {
    for (std::size_t later = slot + 1; later < work.size(); ++later) {
        const drive_record& record = work[later];
        if (record.in_use == 0 || !asks_for_flash(text_of(record.action))) continue;
        const drive_record* entry = find_by_drive_id(record.drive_id, catalogue);
        if (entry) return entry->firmware_file.data();
    }
    return nullptr;
}

// Lets the entry's image go unless the next drive to be flashed takes it too.
void release_unless_next(flash_run& run, std::size_t slot, const drive_table& work, const drive_table& catalogue,
                         const drive_record& entry) {
    const char* next = next_image(slot, work, catalogue);
    if (next && text_of(entry.firmware_file) == next) return;
    text_field<512> image_path{};
    build_image_path(image_path, entry.firmware_file.data());
    run.images.release(image_path.data());
}

}  // namespace

bool notice_stop(bool& noticed, bool drives_left) {
    if (noticed) return true;
    if (!stop_requested()) return false;
    report(drives_left ? "Interrupted; no further drive is flashed.\n"
                       : "Interrupted; every download had ended; the drives are not verified.\n");
    noticed = true;
    return true;
}

int flash_drives(const drive_table& work, const drive_table& catalogue, flash_account& account) {
    flash_run run;
    run.checkpoint = &account.checkpoint;
    flash_results& results = account.results;
    results = {};
    for (std::size_t slot = 0; slot < work.size(); ++slot) {
        const drive_record& record = work[slot];
        if (record.in_use == 0) continue;
        const bool asks = asks_for_flash(text_of(record.action));
        const drive_record* entry = find_by_drive_id(record.drive_id, catalogue);
        flash_result& result = results[slot];
        result.outcome = asks ? flash_outcome::nothing_sent : flash_outcome::not_asked;
        result.target_version = entry ? entry->fw_version : 0;
        if (!asks) {
            // A hand-edited word fails the drive closed; the log says it was never touched.
            const std::string_view action = text_of(record.action);
            if (!is_action_word(action)) {
                log_line("Drive at device %u: %s.\n", static_cast<unsigned>(record.device.address),
                         unknown_action_reason(escaped_text(action)).c_str());
            }
            continue;
        }
        if (entry == nullptr) result.refusal = "the catalogue holds no image for its drive ID";
        if (notice_stop(account.interrupted)) result.refusal = "the run was interrupted before this drive was flashed";
        if (entry && !run.record_failure.empty() && !account.interrupted) {
            result.refusal = "the run report could not be written; no further drive was flashed";
            ++run.failures;
        }
        if (entry == nullptr || account.interrupted || !run.record_failure.empty()) continue;

        const target_fit fit = check_target(record, entry->fw_version);
        if (fit == target_fit::stale_plan) result.refusal = "its plan was made for another catalogue version";
        if (fit == target_fit::refused) result.refusal = "its action does not fit its running and target versions";
        if (fit == target_fit::stale_plan || fit == target_fit::refused) ++run.failures;
        if (fit == target_fit::already_at_target) result.outcome = flash_outcome::already_at_target;
        if (fit == target_fit::fits) flash_drive(record, *entry, run, result);
        release_unless_next(run, slot, work, catalogue, *entry);
        if (run.stopped && notice_stop(account.interrupted)) {
            result.refusal = "the run was interrupted before this drive was flashed";
        } else if (interrupt_was_held() && !account.interrupted) {
            account.interrupted = true;
            report("Interrupted while device %u was being flashed; its download ran to its end, and no further "
                   "drive is flashed.\n",
                   static_cast<unsigned>(record.device.address));
        }
        if (!run.record_failure.empty() && result.outcome == flash_outcome::nothing_sent) {
            report("%s; no further drive is flashed.\n", run.record_failure.c_str());
        }
    }
    // A person or a service manager asked the program to stop: it does so
    // now rather than wait for the drives, also when the request comes in
    // the waits or the scan after them.
    if (account.interrupted) return run.failures + 1;
    // Once for all drives: they take up their images side by side.
    if (run.attempted > 0) settle_wait(settle_wait_ms, run.progress);
    if (notice_stop(account.interrupted, false)) return run.failures + 1;
    account.rescanned = std::make_unique<drive_table>();  // tables are too large for the stack
    const int failures = verify_drives(work, results, run.progress, *account.rescanned);
    if (notice_stop(account.interrupted, false)) return run.failures + 1;
    account.verified = true;
    return run.failures + failures;
}

int flash_drives(const drive_table& work, const drive_table& catalogue) {
    flash_account account;
    return flash_drives(work, catalogue, account);
}
