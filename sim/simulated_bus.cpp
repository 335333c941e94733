#include "sim/simulated_bus.h"

#include <memory>

#include "platform/clock.h"
#include "platform/platform.h"
#include "scsi/transport.h"
#include "scsi/transport_trace.h"
#include "sim/bus_file.h"
#include "sim/sim_clock.h"
#include "sim/sim_transport.h"

namespace {

// Everything one simulated run needs, alive while it is installed.
struct simulated_bus {
    simulated_bus(sim_bus_config bus, const std::string& bus_path)
        : clock(platform_now_seconds(), bus.sleeps), transport(std::move(bus), bus_path, clock) {}

    sim_clock clock;
    sim_transport transport;
};

std::unique_ptr<simulated_bus> installed_bus;

}  // namespace

bool install_simulated_bus(const std::string& bus_path, const std::string& trace_path, std::string& error) {
    uninstall_simulated_bus();
    sim_bus_config bus;
    std::string problem;
    if (!load_bus_file(bus_path, bus, problem)) {
        error = "kvtapefw: bus file " + bus_path + ": " + problem;
        return false;
    }
    installed_bus = std::make_unique<simulated_bus>(std::move(bus), bus_path);
    install_transport(&installed_bus->transport);
    install_clock(&installed_bus->clock);
    if (!trace_path.empty() && !start_transport_trace(trace_path, error)) {
        uninstall_simulated_bus();
        return false;
    }
    return true;
}

void uninstall_simulated_bus() {
    stop_transport_trace();
    install_transport(nullptr);
    install_clock(nullptr);
    installed_bus.reset();
}

transport_setup install_transport_from_environment(std::string& bus_path, std::string& error) {
    bus_path = environment_variable("KVFW_SIM_BUS");
    std::string trace_path = environment_variable("KVFW_TRACE");
    if (!bus_path.empty()) {
        if (!install_simulated_bus(bus_path, "", error)) return transport_setup::bus_file_refused;
        // The simulator's own name for the trace, kept for the scripts that use it.
        if (trace_path.empty()) trace_path = environment_variable("KVFW_SIM_TRACE");
    }
    if (trace_path.empty() || start_transport_trace(trace_path, error)) return transport_setup::ready;
    uninstall_simulated_bus();
    return transport_setup::trace_refused;
}
