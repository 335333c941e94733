#include "upgrade/image_file.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "inventory/catalogue.h"
#include "platform/file_read.h"
#include "platform/held_file.h"
#include "platform/platform.h"

void build_image_path(text_field<512>& path, const char* firmware_file) {
    // A file name holds at most 127 characters, so the path always fits.
    format_text(path, "%s/%s", image_folder, firmware_file);
}

std::string locate_image(const char* image_path, const char* firmware_file) {
    if (is_regular_file(image_path)) return image_path;
    const std::string_view wanted = firmware_file;
    if (wanted.empty()) return image_path;

    std::vector<std::string> names = list_directory(image_folder);
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        if (!same_ignoring_case(name, wanted)) continue;
        const std::string candidate = std::string(image_folder) + "/" + name;
        if (is_regular_file(candidate)) return candidate;
    }
    return image_path;
}

const char* open_image(const char* image_path, const char* firmware_file, firmware_image& image,
                       bool* denies_writers) {
    const std::string path = locate_image(image_path, firmware_file);
    bool denies = false;
    if (!is_regular_file(path)) {
        image.file = nullptr;
    } else if (denies_writers) {
        image.file = open_file_denying_writers(path.c_str(), denies);
        *denies_writers = denies;
    } else {
        std::string why;
        image.file.reset(open_regular_file_for_reading(path, why));
    }
    if (!image.file) return "Error open file\n";
    if (std::fseek(image.file.get(), 0, SEEK_END) != 0) {
        image.file.reset();
        return "Unable to read EOF on download file!\n";
    }
    image.size = std::ftell(image.file.get());
    if (image.size < 0 || std::fseek(image.file.get(), 0, SEEK_SET) != 0) {
        image.file.reset();
        return "Unable to read size of download file\n";
    }
    return nullptr;
}

bool image_lies_outside(std::FILE* opened, const char* folder) {
    // Judged on the open file, not on its name: a link swapped in after a
    // check of the name is judged where it really leads. A file whose place
    // cannot be told is taken to lie outside.
    const std::string where = real_path_of_open_file(opened);
    const std::string inside = real_path(folder);
    return where.empty() || inside.empty() || !real_path_within(where, inside);
}
