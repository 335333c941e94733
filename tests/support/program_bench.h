// A working folder for runs of the built kvtapefw on a simulated bus, as an
// administrator rehearses a rollout: "fwimage/" with the catalogue and the
// images, a system drive with the setup log, the bus file and its trace.
// POSIX only (the program is started through the shell); test files that use
// it stay out of the Windows test program.
#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/test_support.h"

namespace test_support {

class program_bench {
public:
    program_bench();

    // Runs kvtapefw in the working folder on the bus file "bus.json" there,
    // with a run report, which must then be valid against its schema, and
    // with a trusted-keys folder of its own once a test put a file there
    // (KVFW_TRUSTED_KEYS; unset before, for a named folder requires
    // signatures even when empty).
    // `env` adds to or overrides the bench's variables (an empty value
    // unsets one).
    program_run run(const std::vector<std::string>& args, const std::map<std::string, std::string>& env = {},
                    int stdout_fd = -1) const;
    // The last run's report; null when it wrote none.
    nlohmann::json report() const;

    void catalogue(const std::string& lines) const;
    // A 40000-byte image the simulated drives take up as `version`.
    void image(const std::string& name, const std::string& version, const std::string& hw_config) const;
    std::filesystem::path bus_file() const { return work_ / "bus.json"; }
    std::filesystem::path trace() const { return work_ / "trace.txt"; }
    std::filesystem::path report_file() const { return work_ / "report.json"; }
    // The host's history: the state folder on the simulated bus is the bus file's.
    std::filesystem::path history_file() const { return work_ / "history.jsonl"; }
    // A file of the trusted-keys folder (KVFW_TRUSTED_KEYS).
    std::filesystem::path trusted_key(const std::string& name) const { return keys_ / name; }
    std::filesystem::path document() const { return work_ / "inventory/drives.xml"; }
    std::string log() const;
    std::string firmware(int address) const;
    // Addresses that received a WRITE BUFFER, in the order of the trace.
    std::vector<int> flashed() const;
    // Changes the action of the device with this device_id in the document.
    void edit_action(const std::string& device_id, const std::string& from, const std::string& to) const;
    // Changes the value of one element of that device.
    void edit_value(const std::string& device_id, const std::string& element, const std::string& from,
                    const std::string& to) const;
    // Starts the next run afresh: no trace, no setup log.
    void forget_run() const;

protected:
    scratch_dir drive_, work_, keys_;
};

}  // namespace test_support
