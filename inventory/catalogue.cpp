#include "inventory/catalogue.h"

// Placeholder until the catalogue reader lands: the catalogue is empty.
int read_catalogue(drive_table& table) {
    clear_table(table);
    return -1;
}

const drive_record* find_by_drive_id(std::uint32_t drive_id, const drive_table& table) {
    for (const drive_record& record : table) {
        if (record.drive_id == drive_id) return &record;
    }
    return nullptr;
}
