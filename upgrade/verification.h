// After the settle wait: scans the bus again and checks every drive found
// against what its action promised.
#pragma once

#include "inventory/drive_table.h"

// Logs one line per re-discovered drive, judged against the work record at
// the same card, address and lun, then one line per work record that asked
// for a flash and whose address no drive answered. Returns the failures.
int verify_drives(const drive_table& work);
