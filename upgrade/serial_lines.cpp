#include "upgrade/serial_lines.h"

#include <string>

#include "inventory/text_field.h"
#include "log/setup_log.h"

namespace {

// "0", "0 and 1", "0, 1 and 2": the devices of every drive after `first`
// that answered the same shared serial number, `first` included.
std::string devices_sharing(const drive_table& table, std::size_t first) {
    std::string devices;
    std::size_t said = 0;
    std::string last;
    for (std::size_t slot = first; slot < table.size(); ++slot) {
        const drive_record& drive = table[slot];
        if (drive.in_use == 0 || text_of(drive.shared_serial) != text_of(table[first].shared_serial)) continue;
        if (!last.empty()) devices += (said++ > 0 ? ", " : "") + last;
        last = std::to_string(drive.device.address);
    }
    return devices.empty() ? last : devices + " and " + last;
}

bool said_before(const drive_table& table, std::size_t slot) {
    for (std::size_t earlier = 0; earlier < slot; ++earlier) {
        const drive_record& drive = table[earlier];
        if (drive.in_use != 0 && text_of(drive.shared_serial) == text_of(table[slot].shared_serial)) return true;
    }
    return false;
}

}  // namespace

void log_unusable_serials(const drive_table& table) {
    for (std::size_t slot = 0; slot < table.size(); ++slot) {
        const drive_record& drive = table[slot];
        if (drive.in_use == 0 || drive.shared_serial[0] == '\0' || said_before(table, slot)) continue;
        log_line("Drives at devices %s answer the same serial number %s; they are told apart by device number\n",
                 devices_sharing(table, slot).c_str(), escaped_text(text_of(drive.shared_serial)).c_str());
    }
    for (const drive_record& drive : table) {
        if (drive.in_use == 0 || !drive.serial_cut) continue;
        log_line("Drive at device %u answered its serial number cut short; it is told apart by device number\n",
                 static_cast<unsigned>(drive.device.address));
    }
}
