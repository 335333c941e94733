#include "app/system_log_lines.h"

#include "inventory/text_field.h"
#include "platform/system_log.h"

namespace {

using json = nlohmann::ordered_json;

// The drive's texts are quoted escaped: a serial number holding a line end
// must not write a line of its own into the system log.
std::string text_or(const json& value, const char* otherwise) {
    return value.is_string() ? escaped_text(value.get<std::string>()) : otherwise;
}

// Named as every output beyond the fixed ones names a drive: its node, then
// vendor, product and serial number.
std::string drive_line(const json& device) {
    std::string line = "drive " + device["node"].get<std::string>();
    line += ", " + text_or(device["vendor"], "unknown vendor") + " " + text_or(device["product"], "unknown product");
    if (device["serial"].is_string()) line += ", serial " + text_or(device["serial"], "");
    line += ", firmware " + text_or(device["firmware_before"], "unknown") + " -> " +
            text_or(device["firmware_after"], "unknown");
    line += ": " + text_or(device["verdict"], "unknown");
    if (device["reason"].is_string()) line += " (" + text_or(device["reason"], "") + ")";
    return line;
}

}  // namespace

void system_log_start(const run_facts& facts, const std::string& bus_path) {
    system_log(system_log_level::notice, std::string("run started: mode ") + (facts.mode ? facts.mode : "none") +
                                             ", document " + (facts.document.empty() ? "none" : facts.document) +
                                             ", simulated bus " + (bus_path.empty() ? "none" : bus_path));
}

void system_log_end(const run_frame& frame, const run_facts& facts) {
    const json report = run_report_document(frame, facts);
    for (const json& device : report["devices"]) {
        if (!device["flashed"].get<bool>()) continue;
        const bool failed = device["verdict"] != "success";
        system_log(failed ? system_log_level::warning : system_log_level::notice, drive_line(device));
    }
    const std::string result = frame.result ? std::string("Result : ") + frame.result : "no result";
    system_log(frame.result && frame.exit_code == 1 ? system_log_level::notice : system_log_level::warning,
               "run ended: " + result + ", exit code " + std::to_string(frame.exit_code));
}
