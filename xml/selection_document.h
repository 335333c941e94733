#pragma once

#include <string>

#include "inventory/drive_table.h"

// Reads an (edited) discovery document into the selection table. Returns 0
// when it was read to its end, 1 when the read failed. A document whose
// device addresses are not plain decimal numbers, or that names one address
// twice, is refused whole: one line on standard error and in the setup log,
// and a table with nothing in use.
// With `why`, every failure is instead left there in one line that names the
// document and the cause ("Selection document <path> is missing"), for the
// caller to tell, and nothing is said here.
int read_selection_document(const char* path, drive_table& table, std::string* why = nullptr);
