#include "platform/held_file.h"

#include <cstdio>

#include "platform/file_read.h"
#include "platform/file_write.h"
#include "platform/platform.h"

file_handle open_file_denying_writers(const char* path, bool& denies_writers) {
    denies_writers = false;
    std::string why;
    return file_handle(open_regular_file_for_reading(path, why));
}

file_handle open_private_file(std::string& folder, std::string& why) {
    folder = environment_variable("TMPDIR");
    if (folder.empty()) folder = "/tmp";
    return file_handle(create_unnamed_file(folder, why));
}
