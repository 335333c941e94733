// The bus scan: probes tape devices 0-255 of card 0 and takes the maker's
// tape drives into a table, in address order from slot 0.
#pragma once

#include "inventory/drive_table.h"

// Zeroes the table, fills it, and returns the number of drives taken.
int discover_drives(drive_table& table);
