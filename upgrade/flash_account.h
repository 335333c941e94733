// What a flashing run leaves behind for the run report.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "inventory/drive_table.h"
#include "upgrade/verification.h"

struct flash_account {
    flash_results results{};                 // by work-table slot
    std::unique_ptr<drive_table> rescanned;  // the verification scan; null when none ran
    bool interrupted = false;                // stopped before every drive was verified
    bool verified = false;                   // the verification ran to its end
    // Called right before a drive's first chunk (the drive then reads as
    // sent image data) and after each download, while the download's
    // interrupts are still held: the run report on disk is then current
    // whatever happens to the process next. Returns "" when the report was
    // written, else the line that says it was not ("The run report <path>
    // could not be written (<cause>)"): before a first chunk, that drive
    // and every later one are then sent nothing. May be empty.
    std::function<std::string()> checkpoint;
};
