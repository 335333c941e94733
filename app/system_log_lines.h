// What a run leaves in the system's log (syslog, the journal): one line when
// it starts, one for each drive it sent image data, one with its result.
// The setup log stays the full record; these lines are for the host's own
// log and the central collection that reads it.
#pragma once

#include <string>

#include "app/run_report.h"

// "run started: mode upgrade-all, document none, simulated bus none"
void system_log_start(const run_facts& facts, const std::string& bus_path);

// One line per drive sent image data ("drive /dev/nst0, serial HU1234ABCD,
// ULTRIUM-HH6, firmware 2.05 -> 2.10: success"; a reason follows a verdict
// other than success), then "run ended: Result : Flash failure, exit code 0".
void system_log_end(const run_frame& frame, const run_facts& facts);
