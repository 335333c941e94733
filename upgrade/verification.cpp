#include "upgrade/verification.h"

#include <cstdio>
#include <memory>

#include "inventory/discovery.h"
#include "log/setup_log.h"
#include "upgrade/action_words.h"

namespace {

// Versions are compared exactly: the drive reports the very number the image
// carries, so any difference means the image was not taken up as promised.
bool version_kept_promise(std::string_view action, double before, double now) {
    if (action == action_upgrade) return now > before;
    if (action == action_downgrade) return now < before;
    if (action == action_rewrite || action == action_skip) return now == before;
    return false;
}

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
const drive_record* planned_at(const scsi_device& device, const drive_table& work) {
    for (const drive_record& planned : work) {
        if (planned.in_use != 0 && same_address(planned.device, device)) return &planned;
    }
    return nullptr;
}

int check_found_drive(const drive_record& found, const drive_table& work) {
    const drive_record* planned = planned_at(found.device, work);
    const bool another_drive = planned && found.drive_id != planned->drive_id;
    if (planned == nullptr || (another_drive && !asks_for_flash(text_of(planned->action)))) {
        log_line("Drive ID: %#08x, Product ID: %s is not suggested to be upgraded.\n", found.drive_id,
                 found.product_id.data());
        return 0;
    }
    // A drive whose version cannot be read has not shown that it kept the
    // promise, whatever it was.
    if (!another_drive && is_identified(found) &&
        version_kept_promise(text_of(planned->action), planned->fw_version, found.fw_version)) {
        log_line("Drive ID: %#08x, Product ID: %s, Action: %s\n", found.drive_id, found.product_id.data(),
                 planned->action.data());
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
int check_missing_drives(const drive_table& work, const drive_table& found, int count) {
    int failures = 0;
    for (const drive_record& planned : work) {
        if (planned.in_use == 0 || !asks_for_flash(text_of(planned.action))) continue;
        if (answered_at(planned.device, found, count)) continue;
        report_failed(planned.drive_id, planned.product_id.data());
        ++failures;
    }
    return failures;
}

}  // namespace

int verify_drives(const drive_table& work) {
    auto found = std::make_unique<drive_table>();  // tables are too large for the stack
    int count = discover_drives(*found);
    if (count > static_cast<int>(found->size())) count = static_cast<int>(found->size());
    if (count < 0) count = 0;

    int failures = 0;
    for (int slot = 0; slot < count; ++slot) failures += check_found_drive((*found)[static_cast<std::size_t>(slot)], work);
    return failures + check_missing_drives(work, *found, count);
}
