#pragma once

#include "inventory/drive_table.h"

// Flashes every drive of the work table whose action asks for it, waits for
// the drives to take the firmware up, scans again and verifies. Returns the
// number of failures.
int flash_drives(const drive_table& work, const drive_table& catalogue);
