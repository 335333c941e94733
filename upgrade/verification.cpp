#include "upgrade/verification.h"

#include <cstdio>
#include <memory>

#include "inventory/catalogue.h"
#include "inventory/discovery.h"
#include "upgrade/action_words.h"
#include "upgrade/flash_log.h"

namespace {

// Versions are compared exactly: the drive reports the very number the image
// carries, so any difference means the image was not taken up as promised.
bool version_kept_promise(std::string_view action, double before, double now) {
    if (action == action_upgrade) return now > before;
    if (action == action_downgrade) return now < before;
    if (action == action_rewrite || action == action_skip) return now == before;
    return false;
}

void report_failed(std::uint32_t drive_id, const char* product_id) {
    log_flash_line("Drive ID: %#08x, Product ID: %s, Action: Failed\n", drive_id, product_id);
    std::printf("\n here 3\n");
}

int check_found_drive(const drive_record& found, const drive_table& work) {
    const drive_record* planned = find_by_drive_id(found.drive_id, work);
    if (planned == nullptr) {
        log_flash_line("Drive ID: %#08x, Product ID: %s is not suggested to be upgraded.\n", found.drive_id,
                       found.product_id.data());
        return 0;
    }
    if (version_kept_promise(text_of(planned->action), planned->fw_version, found.fw_version)) {
        log_flash_line("Drive ID: %#08x, Product ID: %s, Action: %s\n", found.drive_id, found.product_id.data(),
                       planned->action.data());
        return 0;
    }
    report_failed(found.drive_id, found.product_id.data());
    return 1;
}

bool reported_again(std::uint32_t drive_id, const drive_table& found, int count) {
    for (int slot = 0; slot < count; ++slot) {
        if (found[slot].drive_id == drive_id) return true;
    }
    return false;
}

// A drive that was sent an image and does not answer afterwards may be left
// without working firmware: the worst outcome of a run, never a success.
int check_missing_drives(const drive_table& work, const drive_table& found, int count) {
    int failures = 0;
    for (const drive_record& planned : work) {
        if (planned.in_use == 0 || !asks_for_flash(text_of(planned.action))) continue;
        if (reported_again(planned.drive_id, found, count)) continue;
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
    for (int slot = 0; slot < count; ++slot) failures += check_found_drive((*found)[slot], work);
    return failures + check_missing_drives(work, *found, count);
}
