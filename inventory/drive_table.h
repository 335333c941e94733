// The one record type of every table a run handles (discovered drives,
// catalogue entries, planned actions, selected devices) and the fixed table
// of 23 of them that the subsystems hand each other.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "inventory/text_field.h"
#include "scsi/scsi_device.h"

struct drive_record {
    std::int32_t in_use;
    std::uint8_t peripheral_qualifier;
    std::uint8_t peripheral_device_type;
    text_field<512> vendor_id;
    text_field<512> product_id;
    std::uint32_t drive_id;           // hardware configuration code
    text_field<520> fw_item_type;
    double fw_version;
    double target_version;
    text_field<512> firmware_id;
    text_field<128> action;
    std::uint32_t duration;
    text_field<128> firmware_file;    // relative to "fwimage"
    scsi_device device;
    std::int32_t inquiry_number;
};

constexpr std::size_t drive_table_slots = 23;
using drive_table = std::array<drive_record, drive_table_slots>;

// Every field zero, every text empty, every slot free.
void clear_table(drive_table& table);
int count_in_use(const drive_table& table);
// Prints the records in use; trims each action in place as it goes.
void dump_table(drive_table& table);
