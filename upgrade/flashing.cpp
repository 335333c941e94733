#include "upgrade/flashing.h"

// Placeholder until flashing lands: nothing is flashed, nothing fails.
int flash_drives(const drive_table&, const drive_table&) { return 0; }
