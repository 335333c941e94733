#include "platform/state_folder.h"

#include "platform/platform.h"

std::string run_state_folder(const std::string& simulated_bus_path) {
    const std::string named = environment_variable("KVFW_STATE_DIR");
    if (!named.empty()) return named;
    if (!simulated_bus_path.empty()) return folder_of_path(absolute_path(simulated_bus_path));
    return default_state_folder();
}
