#include "app/run_files.h"

#include <memory>
#include <utility>
#include <vector>

#include "app/run_driver.h"
#include "inventory/catalogue.h"
#include "inventory/catalogue_signature.h"
#include "log/setup_log.h"
#include "platform/platform.h"
#include "platform/run_lock.h"
#include "scsi/transport_trace.h"
#include "upgrade/image_file.h"

std::string report_clash(const std::string& report_path, const run_facts& facts, const std::string& bus_path) {
    if (!path_exists(report_path)) return "";
    std::vector<std::pair<std::string, std::string>> own = {
        {catalogue_path, "firmware catalogue"},
        {catalogue_signature_path, "catalogue signature"},
        {expand_environment(setup_log_path), "setup log"},
        {transport_trace_path(), "trace"},
        {bus_path, "simulated bus file"},
        {run_lock_name(bus_path), "run lock"},
    };
    if (!facts.document.empty()) {
        own.emplace_back(facts.document, facts.mode == std::string("discover") ? "discovery document"
                                                                                : "selection document");
    }
    // Every image the catalogue names, found as flashing would find it.
    auto catalogue = std::make_unique<drive_table>();
    read_catalogue(*catalogue);
    for (const drive_record& entry : *catalogue) {
        if (entry.in_use == 0 || entry.firmware_file[0] == '\0') continue;
        text_field<512> image_path{};
        build_image_path(image_path, entry.firmware_file.data());
        const std::string found = locate_image(image_path.data(), entry.firmware_file.data());
        own.emplace_back(found, "firmware image " + found);
    }
    for (const auto& [path, what] : own) {
        if (!path.empty() && same_file(report_path, path)) return what;
    }
    return "";
}
