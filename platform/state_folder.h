// The one folder where a host keeps what it remembers between runs.
#pragma once

#include <string>

// KVFW_STATE_DIR when set and not empty; else, on the simulated bus, the
// folder of the bus file, so that the runs of a test never read or change
// the host's own memory; else default_state_folder() (platform.h).
std::string run_state_folder(const std::string& simulated_bus_path);
