// The host's memory of its runs: history.jsonl in the state folder, one JSON
// line per run of the three modes that got as far as the drives. The setup
// log keeps its lines without time or run boundary; this says which drive
// went from what to what, when, and how the run ended.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "app/run_report.h"

// "<folder>/history.jsonl".
std::string history_file(const std::string& state_folder);

// True when the run reached the drives (a bus scan, the document's check or
// flashing): only such a run is remembered.
bool run_reached_drives(const run_facts& facts);

// The run's line as a document: started, finished, mode, result, exit_code,
// simulated_bus, refusal, and per drive node, vendor, product, serial,
// firmware_before, firmware_after, target, action, verdict and reason, all
// taken from the run report's own view of the run.
nlohmann::ordered_json history_entry(const run_frame& frame, const run_facts& facts);

// Appends the run's line (one write of the whole line, the file opened for
// appending), when the run reached the drives. A missing folder is created
// (its last level). A folder or file that cannot be written is said once on
// standard error; the run goes on as it was.
void append_run_history(const std::string& state_folder, const run_frame& frame, const run_facts& facts);

// "--history": the file as a table, oldest first and newest last, or with
// `as_json` its lines as they are (lines that are not JSON are skipped and
// counted on standard error). Returns the exit code: 0, also when there is no
// history yet; 1 when the file is there and cannot be read.
int print_run_history(const std::string& state_folder, bool as_json);
