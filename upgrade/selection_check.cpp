#include "upgrade/selection_check.h"

#include "app/setup_log.h"
#include "inventory/discovery.h"
#include "inventory/text_field.h"
#include "upgrade/action_words.h"

int check_selected_drives(const drive_table& selection) {
    int mismatches = 0;
    for (const drive_record& wanted : selection) {
        if (wanted.in_use == 0 || !asks_for_flash(text_of(wanted.action))) continue;
        scsi_device device{};
        device.card = wanted.device.card;
        device.address = wanted.device.address;
        device.lun = wanted.device.lun;
        drive_record found{};
        text_field<512> line{};
        if (!read_drive_at(device, found)) {
            format_text(line, "Drive at device %u does not match the document: expected Drive ID %#08x, found no drive\n",
                        static_cast<unsigned>(wanted.device.address), static_cast<unsigned>(wanted.drive_id));
        } else if (found.drive_id != wanted.drive_id) {
            format_text(line,
                        "Drive at device %u does not match the document: expected Drive ID %#08x, found %#08x\n",
                        static_cast<unsigned>(wanted.device.address), static_cast<unsigned>(wanted.drive_id),
                        static_cast<unsigned>(found.drive_id));
        } else {
            continue;
        }
        report_line(line.data());
        ++mismatches;
    }
    return mismatches;
}
