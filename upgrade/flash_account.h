// What a flashing run leaves behind for the run report.
#pragma once

#include <memory>

#include "inventory/drive_table.h"
#include "upgrade/verification.h"

struct flash_account {
    flash_results results{};                 // by work-table slot
    std::unique_ptr<drive_table> rescanned;  // the verification scan; null when none ran
    bool interrupted = false;                // stopped after a held interrupt
};
