#include "upgrade/flashing.h"

#include <cstdio>
#include <memory>

#include "inventory/catalogue.h"
#include "platform/platform.h"
#include "scsi/scsi_commands.h"
#include "upgrade/action_words.h"
#include "upgrade/download.h"
#include "upgrade/image_check.h"
#include "log/setup_log.h"
#include "upgrade/image_file.h"
#include "upgrade/progress.h"
#include "upgrade/settle_wait.h"
#include "upgrade/transfer_buffer.h"
#include "upgrade/verification.h"

namespace {

constexpr int reserve_for_no_third_party = 255;
// Each chunk is written to the drive's flash memory before the command ends.
constexpr std::int32_t download_timeout_ms = 100000;

struct flash_run {
    int attempted = 0;
    int failures = 0;
    std::unique_ptr<transfer_buffer> buffer = std::make_unique<transfer_buffer>();
    image_digests digests;
    progress_line progress{stderr, stderr_is_terminal()};
};

void log_download_start(const drive_record& record, const text_field<512>& image_path) {
    log_line("Drive ID: %#08x, Product ID: %s, Action: %s\n", record.drive_id, record.product_id.data(),
             record.action.data());
    log_line("File name: %s\n", image_path.data());
}

// The console line " here 2" (and " here 3" in verification) reads like a
// leftover, but deployment scripts look for it to count drives that failed:
// it stays as it is.
void report_unreachable(flash_run& run, const scsi_device* refused_by) {
    log_line("Error: Unable to access tape drive.\n");
    if (refused_by) log_scsi_failure("RESERVE(6)", *refused_by);
    ++run.failures;
    std::printf("\n here 2\n");
}

// Opens and reserves the drive, streams the image and closes the drive again.
void flash_drive(const drive_record& record, const drive_record& entry, flash_run& run) {
    scsi_device device = record.device;
    text_field<512> image_path{};
    build_image_path(image_path, entry.firmware_file.data());
    const bool ktr320 = text_of(record.product_id) == "KTR320";

    // The image is opened and measured before the drive is: one the KTR320's
    // buffer offsets cannot address is refused with nothing sent and no wait
    // caused. Its other problems are logged in their place below.
    firmware_image image{};
    const char* image_problem = open_image(image_path.data(), entry.firmware_file.data(), image);
    // An image that is not the one the catalogue vouches for never reaches
    // the drive: not even RESERVE is sent.
    if (!image_matches_catalogue(entry, image_path.data(), image_problem ? nullptr : &image, *run.buffer,
                                 run.digests)) {
        ++run.failures;
        return;
    }
    if (ktr320 && !image_problem && !fits_ktr320_buffer(image.size)) {
        log_download_start(record, image_path);
        log_line("Firmware download failed!\n");
        return;
    }

    if (scsi_open(device) != 0) {
        report_unreachable(run, nullptr);
        return;
    }
    // RESERVE still runs with the short timeout open sets; only the download
    // commands need the long one. A reservation conflict means another host
    // holds the drive (a backup may be writing): nothing is sent to it.
    const bool reserved = scsi_reserve_unit(device, reserve_for_no_third_party) >= 0;
    if (device.scsi_status == scsi_status_reservation_conflict) {
        scsi_close(device);
        report_unreachable(run, &device);
        return;
    }
    // Any other refusal does not stop the download (the drive may not know
    // reservations), but whoever reads the log should see it.
    const scsi_device reserve_outcome = device;
    scsi_set_timeout(device, download_timeout_ms);

    log_download_start(record, image_path);
    if (!reserved) log_scsi_failure("RESERVE(6)", reserve_outcome);
    if (image_problem) {
        log_line("%s", image_problem);
        scsi_close(device);
        return;
    }
    if (ktr320) {
        download_ktr320(device, image, *run.buffer, run.progress);
    } else {
        download_standard(device, image, *run.buffer, run.progress);
    }
    scsi_close(device);
    ++run.attempted;
}

}  // namespace

int flash_drives(const drive_table& work, const drive_table& catalogue) {
    flash_run run;
    for (const drive_record& record : work) {
        if (record.in_use == 0) continue;
        const drive_record* entry = find_by_drive_id(record.drive_id, catalogue);
        if (entry == nullptr || !asks_for_flash(text_of(record.action))) continue;
        flash_drive(record, *entry, run);
    }
    // Once for all drives: they take up their images side by side.
    if (run.attempted > 0) settle_wait(settle_wait_ms, run.progress);
    return run.failures + verify_drives(work);
}
