// The spine of a run: checks the options, runs one mode over its tables and
// turns the outcome into the result code.
#pragma once

#include "app/command_line.h"

enum run_result : int {
    result_help_or_rejected = -1,
    result_flash_failure = 0,
    result_success = 1,
    result_success_reboot = 2,  // has a text, never returned
    result_no_drive = 3,
};

// The text of the final "Result : %s" line for codes 0 to 3; nullptr otherwise.
const char* result_text(int code);

// Returns -1, 0, 1 or 3. May set options.all (the default mode).
int run_driver(command_options& options);
