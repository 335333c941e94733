#include "sim/simulated_bus.h"

#include <cstdlib>
#include <memory>

#include "platform/clock.h"
#include "platform/platform.h"
#include "scsi/transport.h"
#include "sim/bus_file.h"
#include "sim/sim_clock.h"
#include "sim/sim_trace.h"
#include "sim/sim_transport.h"

namespace {

// Everything one simulated run needs, alive while it is installed.
struct simulated_bus {
    simulated_bus(sim_bus_config bus, const std::string& bus_path)
        : clock(platform_now_seconds(), trace), transport(std::move(bus), bus_path, clock, trace) {}

    sim_trace trace;
    sim_clock clock;
    sim_transport transport;
};

std::unique_ptr<simulated_bus> installed_bus;

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

}  // namespace

bool install_simulated_bus(const std::string& bus_path, const std::string& trace_path, std::string& error) {
    uninstall_simulated_bus();
    sim_bus_config bus;
    std::string problem;
    if (!load_bus_file(bus_path, bus, problem)) {
        error = "kvtapefw: bus file " + bus_path + ": " + problem;
        return false;
    }
    auto fresh = std::make_unique<simulated_bus>(std::move(bus), bus_path);
    if (!fresh->trace.open(trace_path)) {
        error = "kvtapefw: trace file " + trace_path + ": cannot be opened";
        return false;
    }
    installed_bus = std::move(fresh);
    install_transport(&installed_bus->transport);
    install_clock(&installed_bus->clock);
    return true;
}

void uninstall_simulated_bus() {
    install_transport(nullptr);
    install_clock(nullptr);
    installed_bus.reset();
}

bool install_simulated_bus_from_environment(std::string& bus_path, std::string& error) {
    bus_path = environment("KVFW_SIM_BUS");
    if (bus_path.empty()) return true;
    return install_simulated_bus(bus_path, environment("KVFW_SIM_TRACE"), error);
}
