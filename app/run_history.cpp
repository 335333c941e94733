#include "app/run_history.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "app/text_table.h"
#include "inventory/text_field.h"
#include "platform/file_handle.h"
#include "platform/file_write.h"
#include "platform/platform.h"
#include "platform/whole_file.h"

namespace {

using json = nlohmann::ordered_json;

// A history of years of weekly runs stays well below this.
constexpr std::size_t largest_history = 64 * 1024 * 1024;

json drive_of(const json& device) {
    return json{{"node", device["node"]},
                {"vendor", device["vendor"]},
                {"product", device["product"]},
                {"serial", device["serial"]},
                {"firmware_before", device["firmware_before"]},
                {"firmware_after", device["firmware_after"]},
                {"target", device["target_version"]},
                {"action", device["action"]},
                {"verdict", device["verdict"]},
                {"reason", device["reason"]}};
}

// A cell of the table: texts that came from a drive are shown escaped.
std::string text_of_field(const json& value) {
    if (value.is_string()) return escaped_text(value.get<std::string>());
    if (value.is_number_integer()) return std::to_string(value.get<long long>());
    return "-";
}

}  // namespace

std::string history_file(const std::string& state_folder) { return path_in_folder(state_folder, "history.jsonl"); }

bool run_reached_drives(const run_facts& facts) {
    return facts.mode && (facts.discovered || facts.selection || facts.flashing);
}

json history_entry(const run_frame& frame, const run_facts& facts) {
    const json report = run_report_document(frame, facts);
    json drives = json::array();
    for (const json& device : report["devices"]) drives.push_back(drive_of(device));
    return json{{"started", report["started"]},
                {"finished", report["finished"]},
                {"mode", report["mode"]},
                {"result", report["result"]},
                {"exit_code", report["exit_code"]},
                {"simulated_bus", report["simulated_bus"]},
                {"refusal", report["refusal"]},
                {"drives", std::move(drives)}};
}

void append_run_history(const std::string& state_folder, const run_frame& frame, const run_facts& facts) {
    if (!run_reached_drives(facts)) return;
    const std::string path = history_file(state_folder);
    // Drive texts that are not UTF-8 are replaced, never let the line fail.
    const std::string line =
        history_entry(frame, facts).dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
    // The package ships the folder on Linux; elsewhere (Windows, a build run
    // as it is) its last level is made here, as the catalogue's serial would.
    if (!path_exists(state_folder)) create_directory(state_folder);
    std::string why;
    file_handle file(open_regular_file_for_append(path, why));
    if (file) {
        // The stream holds the whole line and hands it to the system in one
        // write on a file opened for appending: a reader never sees half a
        // line, and a line never lands inside another.
        std::setvbuf(file.get(), nullptr, _IOFBF, line.size() + 1);
        const bool written = std::fwrite(line.data(), 1, line.size(), file.get()) == line.size() &&
                             std::fflush(file.get()) == 0;
        if (!written) why = "cannot be written (" + last_error_text() + ")";
        if (std::fclose(file.release()) != 0 && written) why = "cannot be written (" + last_error_text() + ")";
        if (why.empty()) return;
    }
    std::fprintf(stderr, "kvtapefw: the run history %s %s; the run is not remembered there\n", path.c_str(),
                 why.c_str());
}

int print_run_history(const std::string& state_folder, bool as_json) {
    const std::string path = history_file(state_folder);
    if (!path_exists(path)) {
        if (!as_json) std::printf("No run is remembered in %s yet.\n", path.c_str());
        return 0;
    }
    std::string content;
    if (!read_whole_file(path, largest_history, content)) {
        std::fprintf(stderr, "kvtapefw: the run history %s cannot be read\n", path.c_str());
        return 1;
    }
    std::vector<std::vector<std::string>> rows = {
        {"Finished", "Mode", "Result", "Exit", "Node", "Vendor", "Product", "Serial", "Before", "After", "Target",
         "Verdict"}};
    int skipped = 0;
    std::size_t start = 0;
    while (start < content.size()) {
        std::size_t end = content.find('\n', start);
        if (end == std::string::npos) end = content.size();
        const std::string line = content.substr(start, end - start);
        start = end + 1;
        if (line.empty()) continue;
        const json entry = json::parse(line, nullptr, false);
        if (entry.is_discarded() || !entry.is_object() || !entry.contains("drives")) {
            ++skipped;
            continue;
        }
        if (as_json) {
            std::printf("%s\n", line.c_str());
            continue;
        }
        const std::vector<std::string> run = {text_of_field(entry.value("finished", json())),
                                              text_of_field(entry.value("mode", json())),
                                              text_of_field(entry.value("result", json())),
                                              text_of_field(entry.value("exit_code", json()))};
        if (entry["drives"].empty()) rows.push_back(run);
        for (const json& drive : entry["drives"]) {
            std::vector<std::string> row = run;
            for (const char* field : {"node", "vendor", "product", "serial", "firmware_before", "firmware_after",
                                      "target", "verdict"}) {
                row.push_back(text_of_field(drive.value(field, json())));
            }
            rows.push_back(row);
        }
    }
    if (!as_json) print_text_table(rows);
    if (skipped > 0) std::fprintf(stderr, "kvtapefw: %d line(s) of %s are not a run and were skipped\n", skipped, path.c_str());
    return 0;
}
