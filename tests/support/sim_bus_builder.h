// Setting up the simulated bus from a test in a few lines:
//
//   test_support::sim_bus bus;
//   bus.add(test_support::ultrium_drive(0, "2.05", "0x00a4"));
//   bus.add(test_support::other_drive(3, "KTR320", "1.10", "0x0320"))["faults"] =
//       {test_support::fault("3b04", "busy")};
//   test_support::installed_bus installed(bus);
//   ... run the code under test ...
//   auto execs = test_support::trace_lines(installed.trace_file(), "exec ");
//
// For a run of the built program, write the bus and pass KVFW_SIM_BUS /
// KVFW_SIM_TRACE in the env map of run_kvtapefw instead of installing
// in-process.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "scsi/scsi_device.h"
#include "support/test_support.h"

namespace test_support {

using sim_json = nlohmann::ordered_json;

// A bus file in the making. Drives are plain JSON objects, so a test can set
// any key of the bus file format on them (including wrong ones, on purpose).
struct sim_bus {
    sim_json document = {{"command_ms", 1}, {"drives", sim_json::array()}};

    // Appends the drive and returns it for further keys.
    sim_json& add(sim_json drive);
    void write(const std::filesystem::path& path) const;
};

// The given drives on a bus whose every command takes `command_ms` of
// simulated time.
sim_bus bus_of(std::vector<sim_json> drives, int command_ms = 1);

// An Ultrium-layout LTO drive of the maker ("KV", "ULTRIUM-HH6").
sim_json ultrium_drive(int address, const std::string& firmware, const std::string& hw_config);
// A drive of another family: layout "other", not LTO (so a standard download
// is taken up when the device is closed), e.g. product "KTR320".
sim_json other_drive(int address, const std::string& product, const std::string& firmware,
                     const std::string& hw_config);
// One fault rule; add "skip", "count", "sense", "error" or "moved" as needed.
sim_json fault(const std::string& cdb, const std::string& reply);

// The `firmware` key of the drive at `address` in a bus file ("" when absent).
std::string bus_firmware(const std::filesystem::path& bus_file, int address);

// Image bytes a simulated drive takes up: "FWVERSION=<version>" and, when
// hw_config is not empty, "HWCONF=<hw_config>", filled up to `size` bytes.
std::string firmware_image(const std::string& version, const std::string& hw_config, std::size_t size = 1000);

// Lines of a trace file, only those that begin with `prefix` when it is given.
std::vector<std::string> trace_lines(const std::filesystem::path& trace_file, const std::string& prefix = "");
// The cdb= field of each "exec" line, in order: what was sent (only to the
// device at `address` when it is given).
std::vector<std::string> traced_cdbs(const std::filesystem::path& trace_file, int address = -1);

// Installs a bus file in this process (transport and clock) for the life of
// the object: a fresh run each time. Check ok() before using it.
class scoped_sim_bus {
public:
    explicit scoped_sim_bus(const std::filesystem::path& bus_file, const std::filesystem::path& trace_file = {});
    ~scoped_sim_bus();
    scoped_sim_bus(const scoped_sim_bus&) = delete;
    scoped_sim_bus& operator=(const scoped_sim_bus&) = delete;

    bool ok() const { return ok_; }
    const std::string& error() const { return error_; }

private:
    bool ok_;
    std::string error_;
};

// A bus written to bus.json in a scratch folder of its own and installed in
// this process, tracing to trace.txt beside it, for the life of the object.
// A bus that cannot be installed throws, which fails the test.
class installed_bus {
public:
    explicit installed_bus(const sim_bus& bus);
    // Ends the current run and starts the next one on the same bus file.
    void restart();
    std::filesystem::path bus_file() const { return dir_ / "bus.json"; }
    std::filesystem::path trace_file() const { return dir_ / "trace.txt"; }

private:
    scratch_dir dir_;
    std::unique_ptr<scoped_sim_bus> installed_;
};

// Opens the drive at `address` of the installed bus; one that does not open
// fails the test.
scsi_device open_drive(std::uint32_t address);

}  // namespace test_support
