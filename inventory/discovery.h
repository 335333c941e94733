// The bus scan: probes tape devices 0-255 of card 0 and takes the maker's
// tape drives into a table, in address order from slot 0.
#pragma once

#include <cstdint>
#include <vector>

#include "inventory/drive_table.h"

// What one address held.
enum class device_finding {
    absent,        // no device there
    not_taken,     // a device, but not one of the maker's drives that can be flashed
    taken,         // one of the maker's drives: the record holds what was read
    unexaminable,  // a device that could not be examined (held by another
                   // program, no standard data or too little of it, or no
                   // answer to the maker's configuration checks): it may be
                   // one of the maker's drives
};

// Zeroes the table, fills it, and returns the number of drives taken. Every
// taken drive keeps its card, address and lun, whatever its pages answered.
// The device numbers that could not be examined are added to `unexamined`
// when it is given.
int discover_drives(drive_table& table, std::vector<std::uint32_t>* unexamined = nullptr);

// Opens the device at its card, address and lun, asks it as the scan does
// (TEST UNIT READY, standard data, the maker's checks, vendor pages) and
// closes it again. For a taken drive the record holds what the scan would
// have stored.
device_finding read_drive_at(scsi_device& device, drive_record& record);
