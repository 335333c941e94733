#include "support/program_bench.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "support/sim_bus_builder.h"

namespace fs = std::filesystem;

namespace test_support {

program_bench::program_bench() {
    fs::create_directories(drive_ / "vtxsystem/log");
    fs::create_directories(work_ / "fwimage");
}

program_run program_bench::run(const std::vector<std::string>& args,
                                const std::map<std::string, std::string>& env, int stdout_fd) const {
    std::error_code not_there;
    fs::remove(report_file(), not_there);
    std::map<std::string, std::string> variables = {{"systemdrive", drive_.str()},
                                                    {"KVFW_SIM_BUS", bus_file().string()},
                                                    {"KVFW_SIM_TRACE", trace().string()},
                                                    {"KVFW_REPORT", report_file().string()}};
    // Naming a folder requires signatures, even when it holds nothing: the
    // bench names its own only once a test put a key file there.
    if (!fs::is_empty(keys_.path())) variables["KVFW_TRUSTED_KEYS"] = keys_.str();
    for (const auto& [name, value] : env) variables[name] = value;
    program_run outcome = run_kvtapefw(args, work_.path(), variables, stdout_fd);
    // Every report a test makes is checked against the schema by a validator
    // that is not ours.
    if (fs::is_regular_file(report_file())) {
        const std::string check = std::string("python3 ") + KVFW_SOURCE_DIR + "/tests/support/check_report.py " +
                                  KVFW_SOURCE_DIR + "/docs/run-report.schema.json " + report_file().string();
        EXPECT_EQ(std::system(check.c_str()), 0) << read_file(report_file());
    }
    // And so is every line of the host's history the runs have made.
    if (fs::is_regular_file(history_file())) {
        const std::string check = std::string("python3 ") + KVFW_SOURCE_DIR + "/tests/support/check_report.py " +
                                  KVFW_SOURCE_DIR + "/docs/history.schema.json " + history_file().string();
        EXPECT_EQ(std::system(check.c_str()), 0) << read_file(history_file());
    }
    return outcome;
}

nlohmann::json program_bench::report() const {
    return fs::is_regular_file(report_file()) ? nlohmann::json::parse(read_file(report_file())) : nlohmann::json();
}

void program_bench::catalogue(const std::string& lines) const { write_file(work_ / "fwimage/firmware.cfg", lines); }

void program_bench::image(const std::string& name, const std::string& version, const std::string& hw_config) const {
    write_file(work_ / "fwimage" / name, firmware_image(version, hw_config, 40000));
}

std::string program_bench::log() const {
    const fs::path file = drive_ / "vtxsystem/log/vtxsetup.log";
    return fs::exists(file) ? read_file(file) : "";
}

std::string program_bench::firmware(int address) const { return bus_firmware(bus_file(), address); }

std::vector<int> program_bench::flashed() const {
    std::vector<int> addresses;
    for (const std::string& line : trace_lines(trace(), "exec ")) {
        if (line.find(" cdb=3b") == std::string::npos) continue;
        const int address = std::stoi(line.substr(5));
        if (std::find(addresses.begin(), addresses.end(), address) == addresses.end()) addresses.push_back(address);
    }
    return addresses;
}

void program_bench::edit_action(const std::string& device_id, const std::string& from, const std::string& to) const {
    edit_value(device_id, "action", from, to);
}

void program_bench::edit_value(const std::string& device_id, const std::string& element, const std::string& from,
                               const std::string& to) const {
    std::string xml = read_file(document());
    const std::size_t device = xml.find("<device_id value=\"" + device_id + "\"/>");
    ASSERT_NE(device, std::string::npos) << device_id;
    const std::string old_value = "<" + element + " value=\"" + from + "\"/>";
    const std::size_t at = xml.find(old_value, device);
    ASSERT_NE(at, std::string::npos) << device_id << " " << element;
    ASSERT_LT(at, xml.find("</device>", device)) << device_id << " " << element;
    xml.replace(at, old_value.size(), "<" + element + " value=\"" + to + "\"/>");
    write_file(document(), xml);
}

void program_bench::forget_run() const {
    fs::remove(trace());
    fs::remove(drive_ / "vtxsystem/log/vtxsetup.log");
}

}  // namespace test_support
