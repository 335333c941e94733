// Selecting the simulated bus (KVFW_SIM_BUS) for the whole process.
#pragma once

#include <string>

// When KVFW_SIM_BUS names a bus file, loads it and installs the simulated
// transport and clock for the rest of the process; `bus_path` then names the
// file. Returns false, with one line naming the file and the problem in
// `error`, when the file is unusable. Returns true with an empty `bus_path`
// when the variable is unset or empty (the real transport stays).
// KVFW_SIM_TRACE, when set and not empty, names the trace file.
bool install_simulated_bus_from_environment(std::string& bus_path, std::string& error);

// Loads `bus_path` and installs its transport and clock; every event is
// appended to `trace_path` (empty: no trace). A bus installed earlier is
// replaced, and each install is a fresh run: fault rule counts start at zero
// and no drive is rebooting. On failure nothing is installed and `error`
// holds the one-line message (as the program prints it).
bool install_simulated_bus(const std::string& bus_path, const std::string& trace_path, std::string& error);

// Restores the platform transport and clock and drops the simulated drives.
void uninstall_simulated_bus();
