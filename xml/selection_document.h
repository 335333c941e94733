#pragma once

#include "inventory/drive_table.h"

// Reads an (edited) discovery document into the selection table. Returns 0
// when it was read to its end, 1 when the read failed.
int read_selection_document(const char* path, drive_table& table);
