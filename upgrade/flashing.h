#pragma once

#include "inventory/drive_table.h"

struct flash_account;  // upgrade/flash_account.h

// Flashes every drive of the work table whose action asks for it, waits for
// the drives to take the firmware up, scans again and verifies. Returns the
// number of failures; `account` is filled as the run goes.
int flash_drives(const drive_table& work, const drive_table& catalogue, flash_account& account);
int flash_drives(const drive_table& work, const drive_table& catalogue);

// True once a request to stop has arrived (platform/interrupt.h); the first
// time, says so and sets `noticed`: "Interrupted; no further drive is
// flashed." while a drive may still be left to flash (`drives_left`), else
// "Interrupted; every download had ended; the drives are not verified.".
// Also true, silently, when `noticed` was already set.
bool notice_stop(bool& noticed, bool drives_left = true);
