// The run report: one JSON document per run (KVFW_REPORT), for deployment
// tools that would otherwise read the setup log's lines. It tells, per tape
// device, what the run found, planned, sent and verified, and its verdict.
// The document's layout is docs/run-report.schema.json.
#pragma once

#include <cstdint>
#include <string>

#include "app/run_driver.h"

// What the run is, apart from what it learnt.
struct run_frame {
    std::int64_t started;  // calendar time, seconds
    bool simulated_bus;
    int exit_code;         // as the caller of the process sees it
    const char* result;    // the text after "Result : ", or nullptr
};

// The report as text (UTF-8, bytes a drive sent that are not UTF-8 replaced).
std::string run_report_text(const run_frame& frame, const run_facts& facts);

// Writes the report to `path`, whole or not at all. When it cannot, says so
// in one line on standard error; the run's outcome is not changed.
void write_run_report(const std::string& path, const run_frame& frame, const run_facts& facts);
