#include "upgrade/selection_check.h"

#include <cstdio>
#include <string_view>

#include "app/setup_log.h"
#include "inventory/discovery.h"
#include "inventory/text_field.h"

namespace {

// The same words flashing acts on, compared the same way (exact, whole text).
bool asks_for_flash(const drive_record& record) {
    const std::string_view action = text_of(record.action);
    return action == "upgrade" || action == "downgrade" || action == "rewrite";
}

void report(const text_field<512>& line) {
    append_setup_log(line.data());
    std::printf("%s", line.data());
}

}  // namespace

int check_selected_drives(const drive_table& selection) {
    int mismatches = 0;
    for (const drive_record& wanted : selection) {
        if (wanted.in_use == 0 || !asks_for_flash(wanted)) continue;
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
        report(line);
        ++mismatches;
    }
    return mismatches;
}
