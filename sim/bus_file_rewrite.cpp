#include "sim/bus_file_rewrite.h"

#include "platform/whole_file.h"

bool save_drive_firmware(const std::string& path, nlohmann::ordered_json& document, std::size_t drive_index,
                         const std::string& firmware) {
    document["drives"][drive_index]["firmware"] = firmware;
    return replace_whole_file(path, document.dump(2) + "\n") == file_write_result::written;
}
