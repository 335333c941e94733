// Questions asked of an open drive on top of the command builders.
#pragma once

#include "scsi/scsi_device.h"

// True for an LTO drive (REPORT DENSITY SUPPORT names "LTO-CVE"). Polls a
// busy drive for as long as the device's timeout, and asks a drive that is
// not ready or reports a unit attention again a few times, a second apart.
bool scsi_is_lto_drive(scsi_device& device);
// 0 when the drive reports its hardware configuration;
// identify_drive_config_no_page (-1) when it answers ILLEGAL REQUEST to page
// C0h; identify_drive_config_no_buffer when the page does not hold the
// configuration and the drive answers ILLEGAL REQUEST to its vendor buffer;
// identify_drive_config_unreadable when page C0h or the vendor buffer could
// not be read at all (the drive stayed busy or not ready, the host failed):
// then nothing is known about the drive.
int identify_drive_config(scsi_device& device);
constexpr int identify_drive_config_no_page = -1;
constexpr int identify_drive_config_unreadable = -2;
constexpr int identify_drive_config_no_buffer = -3;
