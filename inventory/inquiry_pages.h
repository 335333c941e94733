// Readers of a drive's standard INQUIRY data and the maker's vendor pages.
// Each asks a drive that is busy or still settling again a few times. A
// failed INQUIRY (result 0 or less after that) leaves the record exactly as
// it was and returns false; a field the reply does not cover whole is not
// read. The vendor page readers mark the numbers they read (drive_id_read,
// fw_version_read).
#pragma once

#include "inventory/drive_table.h"
#include "scsi/scsi_device.h"

// Qualifier, device type, vendor and product (trimmed), inquiry number (and
// whether the reply reached it). Standard data shorter than 36 bytes counts as
// a failed read.
bool read_standard_page(scsi_device& device, drive_record& record);
// Page C0h, Ultrium layout: in_use, device, fw_version (bytes 30-48).
bool read_firmware_page(scsi_device& device, drive_record& record);
// Page C1h: in_use, device, drive_id (bytes 73-95).
bool read_hardware_page(scsi_device& device, drive_record& record);
// Page C0h, the other families: in_use, device, drive_id (73-93), fw_version (5-29).
bool read_firmware_page_alt(scsi_device& device, drive_record& record);
// Page 80h: the unit serial number, the text from byte 4 as long as byte 3
// says, spaces trimmed, into `serial`. A drive that answers ILLEGAL REQUEST,
// or with no text, has none (the record's serial stays empty; true); so has
// one whose reply ends before that text does (`serial_cut` is set; true).
// Any other failure sets `serial_failed` and `read_failure` and returns false.
bool read_serial_page(scsi_device& device, drive_record& record);
