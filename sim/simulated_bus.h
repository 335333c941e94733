// Choosing what the program's SCSI commands reach for the whole process: the
// simulated bus (KVFW_SIM_BUS) or the operating system's drives, with or
// without a trace (KVFW_TRACE).
#pragma once

#include <string>

enum class transport_setup {
    ready,
    bus_file_refused,  // the run ends as for a broken command line (exit 0)
    trace_refused,     // the run ends as for a rejected command line (exit -1)
};

// When KVFW_SIM_BUS names a bus file, loads it and installs the simulated
// transport and clock for the rest of the process; `bus_path` then names the
// file. `bus_path` is empty when the variable is unset or empty (the real
// transport stays). KVFW_TRACE, when set and not empty, names a trace file of
// whichever transport is active; with the simulated bus, KVFW_SIM_TRACE is
// its other name (KVFW_TRACE wins when both are set). An unusable bus file,
// or a trace that is not a regular file or cannot be opened for appending,
// installs nothing and leaves one line naming the file and the problem in
// `error`; the bus file is looked at first.
transport_setup install_transport_from_environment(std::string& bus_path, std::string& error);

// Loads `bus_path` and installs its transport and clock; every event is
// appended to `trace_path` (empty: no trace). A bus installed earlier is
// replaced, and each install is a fresh run: fault rule counts start at zero
// and no drive is rebooting. On failure nothing is installed and `error`
// holds the one-line message (as the program prints it).
bool install_simulated_bus(const std::string& bus_path, const std::string& trace_path, std::string& error);

// Restores the platform transport and clock and drops the simulated drives.
void uninstall_simulated_bus();
