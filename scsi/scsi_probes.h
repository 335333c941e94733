// Questions asked of an open drive on top of the command builders.
#pragma once

#include "scsi/scsi_device.h"

// True for an LTO drive (REPORT DENSITY SUPPORT names "LTO-CVE"). Polls a
// busy drive for as long as the device's timeout.
bool scsi_is_lto_drive(scsi_device& device);
// 0 when the drive reports its hardware configuration, -1 otherwise.
int identify_drive_config(scsi_device& device);
