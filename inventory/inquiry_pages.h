// Readers of a drive's standard INQUIRY data and the maker's vendor pages.
// A failed INQUIRY (result 0 or less) leaves the record exactly as it was.
#pragma once

#include "inventory/drive_table.h"
#include "scsi/scsi_device.h"

// Qualifier, device type, vendor and product (trimmed), inquiry number.
void read_standard_page(scsi_device& device, drive_record& record);
// Page C0h, Ultrium layout: in_use, device, fw_version (bytes 30-48).
void read_firmware_page(scsi_device& device, drive_record& record);
// Page C1h: in_use, device, drive_id (bytes 73-95).
void read_hardware_page(scsi_device& device, drive_record& record);
// Page C0h, the other families: in_use, device, drive_id (73-93), fw_version (5-29).
void read_firmware_page_alt(scsi_device& device, drive_record& record);
