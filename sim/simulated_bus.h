// Choosing what the program's SCSI commands reach for the whole process: the
// simulated bus (KVFW_SIM_BUS) or the operating system's drives, with or
// without a trace (KVFW_TRACE).
#pragma once

#include <string>

// When KVFW_SIM_BUS names a bus file, loads it and installs the simulated
// transport and clock for the rest of the process; `bus_path` then names the
// file. Returns false, with one line naming the file and the problem in
// `error`, when the file is unusable. Returns true with an empty `bus_path`
// when the variable is unset or empty (the real transport stays).
// KVFW_TRACE, when set and not empty, names a trace file of whichever
// transport is active; with the simulated bus, KVFW_SIM_TRACE is its other
// name (KVFW_TRACE wins when both are set). A trace file that cannot be
// opened is an error like an unusable bus file.
bool install_transport_from_environment(std::string& bus_path, std::string& error);

// Loads `bus_path` and installs its transport and clock; every event is
// appended to `trace_path` (empty: no trace). A bus installed earlier is
// replaced, and each install is a fresh run: fault rule counts start at zero
// and no drive is rebooting. On failure nothing is installed and `error`
// holds the one-line message (as the program prints it).
bool install_simulated_bus(const std::string& bus_path, const std::string& trace_path, std::string& error);

// Restores the platform transport and clock and drops the simulated drives.
void uninstall_simulated_bus();
