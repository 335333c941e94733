#include "upgrade/selection_check.h"

#include "log/setup_log.h"
#include "inventory/discovery.h"
#include "inventory/text_field.h"
#include "upgrade/action_words.h"

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
        format_text(what, "Product ID %s, which could not be identified", found.product_id.data());
    } else if (found.drive_id != wanted.drive_id || text_of(found.product_id) != text_of(product)) {
        format_text(what, "Drive ID %#08x, Product ID %s", static_cast<unsigned>(found.drive_id),
                    found.product_id.data());
    } else {
        what[0] = '\0';
    }
}

}  // namespace

int check_selected_drives(drive_table& selection, selection_findings* findings) {
    int mismatches = 0;
    for (std::size_t slot = 0; slot < selection.size(); ++slot) {
        drive_record& wanted = selection[slot];
        if (wanted.in_use == 0 || !asks_for_flash(text_of(wanted.action))) continue;
        scsi_device device{};
        device.card = wanted.device.card;
        device.address = wanted.device.address;
        device.lun = wanted.device.lun;
        drive_record found{};
        const device_finding finding = read_drive_at(device, found);
        if (findings && finding == device_finding::taken) findings->found[slot] = found;

        text_field<512> what{};
        describe_mismatch(wanted, finding, found, what);
        // The document names the very drive: an identical one that took its
        // device number (after a reboot, say) is not it.
        const bool serial_differs = what[0] == '\0' && wanted.serial[0] != '\0' &&
                                    text_of(wanted.serial) != text_of(found.serial);
        if (what[0] == '\0' && !serial_differs) {
            // From here on the drive's own serial number follows it, also
            // for an entry of a document written without one.
            wanted.serial = found.serial;
            wanted.product_id = found.product_id;
            wanted.fw_version = found.fw_version;
            wanted.fw_version_text = found.fw_version_text;
            wanted.drive_id_read = found.drive_id_read;
            wanted.fw_version_read = found.fw_version_read;
            continue;
        }
        if (findings) findings->mismatched[slot] = true;
        if (serial_differs) {
            report("Drive at device %u does not match the document: expected serial number %s, found %s\n",
                   static_cast<unsigned>(wanted.device.address), escaped_text(text_of(wanted.serial)).c_str(),
                   found.serial[0] != '\0' ? escaped_text(text_of(found.serial)).c_str() : "no serial number");
        } else {
            report("Drive at device %u does not match the document: expected Drive ID %#08x, Product ID %s, found %s\n",
                   static_cast<unsigned>(wanted.device.address), static_cast<unsigned>(wanted.drive_id),
                   escaped_text(text_of(wanted.product_id)).c_str(), what.data());
        }
        if (found.read_failure[0] != '\0') log_line("%s\n", found.read_failure.data());
        ++mismatches;
    }
    return mismatches;
}
