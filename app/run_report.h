// The run report: one JSON document per run (KVFW_REPORT), for deployment
// tools that would otherwise read the setup log's lines. It tells, per tape
// device, what the run found, planned, sent and verified, and its verdict.
// The document's layout is docs/run-report.schema.json.
#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "app/run_driver.h"

// What the run is, apart from what it learnt.
struct run_frame {
    std::int64_t started;  // calendar time, seconds
    bool simulated_bus;
    bool finished;         // false while the run goes on: no end time, exit code or result yet
    int exit_code;         // as the caller of the process sees it
    const char* result;    // the text after "Result : ", or nullptr
};

// The report as a document, and as text (UTF-8, bytes a drive sent that are
// not UTF-8 replaced).
nlohmann::ordered_json run_report_document(const run_frame& frame, const run_facts& facts);
std::string run_report_text(const run_frame& frame, const run_facts& facts);

// Where the report goes and how. A regular file (or none yet; a symbolic
// link is followed) is written when the run starts and replaced whole at
// every checkpoint, so that a run killed at any point leaves a report that
// names every drive sent image data. Anything else (a FIFO, a terminal,
// /dev/stdout) is written once, at the end, in place.
struct report_target {
    std::string path;     // empty: no report asked for
    bool rewritten;       // decided when the run starts
    bool failure_told;    // a failed write is said once per run
};

// The report as the run starts, before any drive is opened. False when it
// cannot be written: the run must then not touch any drive, and the line
// naming the path and the cause has been said on standard error.
bool start_run_report(report_target& target, const run_frame& frame, const run_facts& facts);

// The report again as it now stands (a checkpoint); only for a target that
// is rewritten. A failure is said on standard error, once per run, and
// returned as the run's own line ("The run report <path> could not be
// written (<cause>)"); "" when it was written.
std::string update_run_report(report_target& target, const run_frame& frame, const run_facts& facts);

// The report at the end of the run, for every kind of target. The run's
// outcome is not changed by a failure, which is said on standard error.
void write_run_report(report_target& target, const run_frame& frame, const run_facts& facts);
