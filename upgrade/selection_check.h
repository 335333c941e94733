// A selection document is replayed some time after the discovery that wrote
// it; meanwhile device numbers can move (a drive added, a reboot). Before
// anything is flashed from a document, every drive it selects for a flash
// must still be the drive at the document's address.
#pragma once

#include "inventory/drive_table.h"

// Asks the drive at the address of every record in use whose action asks for
// a flash for its identity, as the bus scan reads it. Each record whose drive
// is missing or reports another drive ID costs one line in the setup log and
// on the console. Returns the number of such records; 0 means safe to flash.
int check_selected_drives(const drive_table& selection);
