#include "sim/bus_file_rewrite.h"

#include <cstdio>

#include "platform/file_handle.h"
#include "platform/platform.h"

namespace {

bool write_whole_file(const std::string& path, const std::string& content) {
    file_handle file = open_file(path.c_str(), "wb");
    if (!file) return false;
    const bool written = std::fwrite(content.data(), 1, content.size(), file.get()) == content.size();
    return std::fclose(file.release()) == 0 && written;
}

}  // namespace

bool save_drive_firmware(const std::string& path, nlohmann::ordered_json& document, std::size_t drive_index,
                         const std::string& firmware) {
    document["drives"][drive_index]["firmware"] = firmware;
    const std::string fresh = path + ".new";
    if (!write_whole_file(fresh, document.dump(2) + "\n")) {
        std::remove(fresh.c_str());
        return false;
    }
    if (replace_file(fresh, path)) return true;
    std::remove(fresh.c_str());
    return false;
}
