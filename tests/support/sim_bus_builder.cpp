#include "support/sim_bus_builder.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "sim/simulated_bus.h"

namespace test_support {

sim_json& sim_bus::add(sim_json drive) {
    document["drives"].push_back(std::move(drive));
    return document["drives"].back();
}

void sim_bus::write(const std::filesystem::path& path) const { write_file(path, document.dump(2) + "\n"); }

sim_bus bus_of(std::vector<sim_json> drives, int command_ms) {
    sim_bus bus;
    bus.document["command_ms"] = command_ms;
    for (sim_json& drive : drives) bus.add(std::move(drive));
    return bus;
}

sim_json ultrium_drive(int address, const std::string& firmware, const std::string& hw_config) {
    return {{"address", address}, {"vendor", "KV"},        {"product", "ULTRIUM-HH6"}, {"layout", "ultrium"},
            {"firmware", firmware}, {"hw_config", hw_config}, {"lto", true}};
}

sim_json other_drive(int address, const std::string& product, const std::string& firmware,
                     const std::string& hw_config) {
    return {{"address", address},   {"vendor", "KV"},         {"product", product},
            {"layout", "other"},    {"firmware", firmware},   {"hw_config", hw_config},
            {"lto", false}};
}

sim_json fault(const std::string& cdb, const std::string& reply) { return {{"cdb", cdb}, {"reply", reply}}; }

std::string bus_firmware(const std::filesystem::path& bus_file, int address) {
    const sim_json document = sim_json::parse(read_file(bus_file));
    for (const sim_json& drive : document.at("drives")) {
        if (drive.at("address") == address) return drive.value("firmware", "");
    }
    return "";
}

std::string firmware_image(const std::string& version, const std::string& hw_config, std::size_t size) {
    std::string image = "KV firmware image\nFWVERSION=" + version + "\n";
    if (!hw_config.empty()) image += "HWCONF=" + hw_config + "\n";
    while (image.size() < size) image += static_cast<char>('a' + image.size() % 26);
    return image;
}

std::vector<std::string> trace_lines(const std::filesystem::path& trace_file, const std::string& prefix) {
    std::vector<std::string> lines;
    for (const std::string& line : read_lines(trace_file)) {
        if (line.compare(0, prefix.size(), prefix) == 0) lines.push_back(line);
    }
    return lines;
}

std::vector<std::string> traced_cdbs(const std::filesystem::path& trace_file, int address) {
    std::vector<std::string> cdbs;
    const std::string prefix = address < 0 ? "exec " : "exec " + std::to_string(address) + " ";
    for (const std::string& line : trace_lines(trace_file, prefix)) {
        const std::size_t start = line.find(" cdb=") + 5;
        cdbs.push_back(line.substr(start, line.find(' ', start) - start));
    }
    return cdbs;
}

scoped_sim_bus::scoped_sim_bus(const std::filesystem::path& bus_file, const std::filesystem::path& trace_file)
    : ok_(install_simulated_bus(bus_file.string(), trace_file.string(), error_)) {}

scoped_sim_bus::~scoped_sim_bus() { uninstall_simulated_bus(); }

installed_bus::installed_bus(const sim_bus& bus) {
    bus.write(bus_file());
    restart();
}

void installed_bus::restart() {
    installed_.reset();
    installed_ = std::make_unique<scoped_sim_bus>(bus_file(), trace_file());
    // Thrown, so that the test stops before anything reaches the host's own
    // transport.
    if (!installed_->ok()) throw std::runtime_error(installed_->error());
}

scsi_device open_drive(std::uint32_t address) {
    scsi_device device{};
    device.address = address;
    EXPECT_EQ(scsi_open(device), 0) << "address " << address;
    return device;
}

}  // namespace test_support
