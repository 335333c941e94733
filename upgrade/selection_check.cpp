#include "upgrade/selection_check.h"

#include <memory>

#include "inventory/discovery.h"
#include "inventory/text_field.h"
#include "log/setup_log.h"
#include "platform/interrupt.h"
#include "upgrade/action_words.h"
#include "upgrade/serial_lines.h"

namespace {

// What stands at the record's address, in the words of the mismatch line;
// empty when it is the drive the record names.
void describe_mismatch(const drive_record& wanted, device_finding finding, const drive_record& found,
                       text_field<512>& what) {
    text_field<512> product = wanted.product_id;
    trim_spaces(product.data());
    if (finding == device_finding::unexaminable) {
        copy_text(what, "a device that could not be examined");
    } else if (finding != device_finding::taken) {
        copy_text(what, "no drive");
    } else if (!is_identified(found)) {
        format_text(what, "Product ID %s, which could not be identified",
                    escaped_text(text_of(found.product_id)).c_str());
    } else if (found.drive_id != wanted.drive_id || text_of(found.product_id) != text_of(product)) {
        format_text(what, "Drive ID %#08x, Product ID %s", static_cast<unsigned>(found.drive_id),
                    escaped_text(text_of(found.product_id)).c_str());
    } else {
        what[0] = '\0';
    }
}

// The document names the very drive: an identical one that took its device
// number (after a reboot, say) is not it. A document written by discovery
// carries the serial number escaped; same_serial compares it so.
bool serial_differs(const drive_record& wanted, const drive_record& found) {
    return wanted.serial[0] != '\0' && !same_serial(text_of(wanted.serial), text_of(found.serial));
}

void report_serial_mismatch(const drive_record& wanted, const drive_record& found) {
    const std::string answered = found.serial[0] != '\0' ? escaped_text(text_of(found.serial))
                                 : found.serial_cut     ? "a cut serial number"
                                                        : "no serial number";
    report("Drive at device %u does not match the document: expected serial number %s, found %s\n",
           static_cast<unsigned>(wanted.device.address), escaped_text(text_of(wanted.serial)).c_str(),
           answered.c_str());
}

// The drive's own answers replace the document's texts.
void take_drive_identity(drive_record& wanted, const drive_record& found) {
    wanted.product_id = found.product_id;
    wanted.fw_version = found.fw_version;
    wanted.fw_version_text = found.fw_version_text;
    wanted.drive_id_read = found.drive_id_read;
    wanted.fw_version_read = found.fw_version_read;
}

}  // namespace

int check_selected_drives(drive_table& selection, selection_findings* findings) {
    // The drives checked are one scan: a serial number two of them answer
    // tells neither apart.
    const std::unique_ptr<selection_findings> own = findings ? nullptr : std::make_unique<selection_findings>();
    selection_findings& checked = findings ? *findings : *own;
    std::array<bool, drive_table_slots> matched{};
    int mismatches = 0;
    for (std::size_t slot = 0; slot < selection.size(); ++slot) {
        drive_record& wanted = selection[slot];
        if (wanted.in_use == 0 || !asks_for_flash(text_of(wanted.action))) continue;
        // A request to stop is honoured before the next drive is opened, and
        // a drive whose answers it cut short is not judged on them.
        if (stop_requested()) break;
        scsi_device device{};
        device.card = wanted.device.card;
        device.address = wanted.device.address;
        device.lun = wanted.device.lun;
        drive_record found{};
        const device_finding finding = read_drive_at(device, found);
        if (stop_requested()) break;
        if (finding == device_finding::taken) checked.found[slot] = found;

        text_field<512> what{};
        describe_mismatch(wanted, finding, found, what);
        const bool other_serial = what[0] == '\0' && serial_differs(wanted, found);
        if (what[0] == '\0' && !other_serial) {
            take_drive_identity(wanted, found);
            matched[slot] = true;
            continue;
        }
        checked.mismatched[slot] = true;
        if (other_serial) {
            report_serial_mismatch(wanted, found);
        } else {
            report("Drive at device %u does not match the document: expected Drive ID %#08x, Product ID %s, found %s\n",
                   static_cast<unsigned>(wanted.device.address), static_cast<unsigned>(wanted.drive_id),
                   escaped_text(text_of(wanted.product_id)).c_str(), what.data());
        }
        if (found.read_failure[0] != '\0') log_line("%s\n", found.read_failure.data());
        ++mismatches;
    }
    drop_shared_serials(checked.found);
    log_unusable_serials(checked.found);
    // From here on the drive's own serial number follows it, also for an
    // entry of a document written without one; one that tells it from no
    // other drive is none.
    for (std::size_t slot = 0; slot < selection.size(); ++slot) {
        if (!matched[slot]) continue;
        const drive_record& found = checked.found[slot];
        selection[slot].serial = found.serial;
        selection[slot].serial_cut = found.serial_cut;
        selection[slot].shared_serial = found.shared_serial;
    }
    return mismatches;
}
