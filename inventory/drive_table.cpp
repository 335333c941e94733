#include "inventory/drive_table.h"

#include <cstdio>

void clear_table(drive_table& table) { table.fill(drive_record{}); }

bool same_serial(std::string_view a, std::string_view b) {
    return !a.empty() && !b.empty() && escaped_text(a) == escaped_text(b);
}

int count_in_use(const drive_table& table) {
    int count = 0;
    for (const drive_record& record : table) {
        if (record.in_use != 0) ++count;
    }
    return count;
}

void dump_table(const drive_table& table) {
    bool printed = false;
    for (std::size_t slot = 0; slot < table.size(); ++slot) {
        const drive_record& record = table[slot];
        if (record.in_use != 1) continue;
        printed = true;
        std::printf("i = %d, Drive ID = %#08x\n", static_cast<int>(slot), record.drive_id);
        std::printf("\tPeripheral Qualifier = %u, Peripheral Device Type = %u \n",
                    static_cast<unsigned>(record.peripheral_qualifier),
                    static_cast<unsigned>(record.peripheral_device_type));
        // Drive and document texts are quoted, never let steer the console.
        std::printf("\tVendorID = %s, ProductID = %s\n", escaped_text(text_of(record.vendor_id)).c_str(),
                    escaped_text(text_of(record.product_id)).c_str());
        std::printf("\tFw Version = %g Fw File = %s\n", record.fw_version, record.firmware_file.data());
        text_field<128> action = record.action;
        trim_spaces(action.data());
        if (action[0] != '\0') std::printf("\tAction = %s\n", action.data());
    }
    if (!printed) std::printf("None\n");
}
