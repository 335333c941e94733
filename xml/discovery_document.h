#pragma once

#include "inventory/drive_table.h"

// Writes the discovery document of the recommended table. Returns the number
// of failures (0 or 1).
int write_discovery_document(const char* path, const drive_table& table);
