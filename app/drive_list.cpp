#include "app/drive_list.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "inventory/catalogue.h"
#include "inventory/catalogue_signature.h"
#include "inventory/discovery.h"
#include "inventory/text_field.h"
#include "app/text_table.h"
#include "platform/platform.h"
#include "scsi/transport.h"
#include "upgrade/planning.h"

namespace {

using json = nlohmann::ordered_json;

json text_or_null(std::string_view text) { return text.empty() ? json(nullptr) : json(std::string(text)); }

// The catalogue as upgrade all would take it: with trusted keys only when
// one of them signed it. False, with the reason, when it gives no versions.
bool read_list_catalogue(drive_table& catalogue, std::string& why) {
    bool named = false;
    trusted_keys keys;
    const std::string folder = trusted_keys_folder(named);
    load_trusted_keys(folder, named, keys);
    if (!keys_usable(keys)) {
        why = "the trusted keys in " + keys.folder + " cannot all be read";
        return false;
    }
    if (keys.keys.empty()) return read_catalogue(catalogue, nullptr, &why) >= 0;
    catalogue_bytes file;
    if (!read_catalogue_bytes(file)) {
        why = file.why;
        return false;
    }
    const signature_check check = check_catalogue_signature(file, keys.keys);
    if (!check.verified) {
        why = "it is not signed by a trusted key: " + check.reason;
        return false;
    }
    return read_signed_catalogue(file, catalogue) >= 0;
}

json listed_drive(const drive_record& drive, const drive_table* catalogue) {
    json out = {{"node", tape_device_name(drive.device.address)},
                {"device", drive.device.address},
                {"vendor", text_or_null(text_of(drive.vendor_id))},
                {"product", text_or_null(text_of(drive.product_id))},
                {"serial", text_or_null(text_of(drive.serial))},
                {"firmware", drive.fw_version_read ? text_or_null(text_of(drive.fw_version_text)) : json(nullptr)},
                {"catalogue_version", nullptr},
                {"upgrade_all", nullptr},
                {"reason", nullptr}};
    if (!is_identified(drive)) {
        out["upgrade_all"] = "unidentified";
        out["reason"] = drive.read_failure[0] != '\0' ? std::string(drive.read_failure.data())
                                                      : std::string("its identity could not be read");
        return out;
    }
    const drive_record* entry = catalogue ? find_by_drive_id(drive.drive_id, *catalogue) : nullptr;
    if (entry == nullptr || entry->in_use == 0) {
        out["upgrade_all"] = "no-image";
        return out;
    }
    out["catalogue_version"] = text_or_null(text_of(entry->fw_version_text));
    out["upgrade_all"] = older_than_catalogue(drive, *entry) ? "upgrade"
                         : drive.fw_version == entry->fw_version ? "current"
                                                                 : "newer";
    return out;
}

// What upgrade all would do, in words: "upgrade to 2.10", "current", ...
std::string doing_of(const json& drive) {
    const std::string word = drive["upgrade_all"].get<std::string>();
    if (word == "upgrade") return "upgrade to " + escaped_text(drive["catalogue_version"].get<std::string>());
    if (word == "no-image") return "no image";
    if (word == "newer") return "current (newer than the catalogue)";
    if (word == "unidentified") return "could not be identified: " + escaped_text(drive["reason"].get<std::string>());
    if (word == "unexaminable") return "could not be examined: " + escaped_text(drive["reason"].get<std::string>());
    return word;
}

std::string cell(const json& value) { return value.is_string() ? escaped_text(value.get<std::string>()) : "-"; }

}  // namespace

json drive_list_document() {
    auto found = std::make_unique<drive_table>();
    std::vector<unexamined_device> unexamined;
    int nodes = 0;
    discover_drives(*found, &unexamined, nullptr, &nodes);

    auto catalogue = std::make_unique<drive_table>();
    std::string why;
    const bool have_catalogue = read_list_catalogue(*catalogue, why);
    if (!have_catalogue) {
        std::fprintf(stderr, "kvtapefw: firmware catalogue %s gives no versions: %s\n",
                     absolute_path(catalogue_path).c_str(), why.c_str());
    }

    json drives = json::array();
    for (const drive_record& drive : *found) {
        if (drive.in_use != 0) drives.push_back(listed_drive(drive, have_catalogue ? catalogue.get() : nullptr));
    }
    for (const unexamined_device& device : unexamined) {
        const std::string cause = finding_cause_text(device.cause);
        drives.push_back({{"node", tape_device_name(device.address)},
                          {"device", device.address},
                          {"vendor", nullptr},
                          {"product", nullptr},
                          {"serial", nullptr},
                          {"firmware", nullptr},
                          {"catalogue_version", nullptr},
                          {"upgrade_all", "unexaminable"},
                          {"reason", cause.empty() ? "it did not answer what the scan asks" : cause}});
    }
    std::sort(drives.begin(), drives.end(),
              [](const json& a, const json& b) { return a["device"].get<int>() < b["device"].get<int>(); });
    return json{{"format", 1}, {"scanned", nodes}, {"drives", std::move(drives)}};
}

int print_drive_list(bool as_json) {
    const json list = drive_list_document();
    if (as_json) {
        std::printf("%s\n", list.dump(2, ' ', false, json::error_handler_t::replace).c_str());
        return 0;
    }
    std::vector<std::vector<std::string>> rows = {
        {"Node", "Vendor", "Product", "Serial", "Firmware", "Catalogue", "Upgrade all"}};
    for (const json& drive : list["drives"]) {
        rows.push_back({drive["node"].get<std::string>(), cell(drive["vendor"]), cell(drive["product"]),
                        cell(drive["serial"]), cell(drive["firmware"]), cell(drive["catalogue_version"]),
                        doing_of(drive)});
    }
    print_text_table(rows);
    return 0;
}
