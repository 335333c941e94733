// Selecting the simulated bus (KVFW_SIM_BUS) for the whole process.
#pragma once

#include <string>

// When KVFW_SIM_BUS names a bus file, loads it and installs the simulated
// transport and clock for the rest of the process. Returns false, with one
// line naming the file and the problem in `error`, when the file is unusable.
// Returns true when the variable is unset or empty (the real transport stays).
bool install_simulated_bus_from_environment(std::string& error);
