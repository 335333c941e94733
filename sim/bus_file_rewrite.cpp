#include "sim/bus_file_rewrite.h"

#include "platform/whole_file.h"

namespace {
bool save(const std::string& path, const nlohmann::ordered_json& document) {
    return replace_whole_file(path, document.dump(2) + "\n") == file_write_result::written;
}
}  // namespace

bool save_drive_firmware(const std::string& path, nlohmann::ordered_json& document, std::size_t drive_index,
                         const std::string& firmware) {
    document["drives"][drive_index]["firmware"] = firmware;
    return save(path, document);
}

bool save_drive_restart(const std::string& path, nlohmann::ordered_json& document, std::size_t drive_index,
                        int address, const std::string& serial) {
    nlohmann::ordered_json& drive = document["drives"][drive_index];
    drive["address"] = address;
    drive["serial"] = serial;
    drive.erase("address_after_reboot");
    return save(path, document);
}
