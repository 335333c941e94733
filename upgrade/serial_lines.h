// The setup-log lines that say why a drive of a scan is told apart by its
// device number although it answered a serial number.
#pragma once

#include "inventory/drive_table.h"

// One line per serial number that more than one drive of the table answered
// ("Drives at devices 0 and 1 answer the same serial number DUP1; they are
// told apart by device number"), then one per drive whose serial number
// arrived cut.
void log_unusable_serials(const drive_table& table);
