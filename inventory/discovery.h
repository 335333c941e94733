// The bus scan: probes tape devices 0-255 of card 0 and takes the maker's
// tape drives into a table, in address order from slot 0.
#pragma once

#include "inventory/drive_table.h"

// Zeroes the table, fills it, and returns the number of drives taken.
int discover_drives(drive_table& table);

// Opens the device at its card, address and lun, asks it as the scan does
// (TEST UNIT READY, standard data, the maker's checks, vendor pages) and
// closes it again. True when it is one of the maker's drives that the scan
// takes; the record then holds what the scan would have stored.
bool read_drive_at(scsi_device& device, drive_record& record);
