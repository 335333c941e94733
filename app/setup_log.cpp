#include "app/setup_log.h"

#include <cstdio>
#include <string>

#include "platform/file_handle.h"
#include "platform/platform.h"

namespace {
// The expansion lands in a 512-byte buffer: a longer path cannot be opened.
constexpr std::size_t expansion_capacity = 512;
}

void append_setup_log(const char* text) {
    const std::string path = expand_environment(setup_log_path);
    file_handle log = path.size() < expansion_capacity ? open_file(path.c_str(), "a") : nullptr;
    if (!log) {
        std::printf("Unable to open and write to log file.\n");
        return;
    }
    std::fputs(text, log.get());
}

void report_line(const char* text) {
    append_setup_log(text);
    std::printf("%s", text);
}

void print_separator() { std::printf("----------------------------------------------\n"); }

int make_directory(const char* path) {
    if (path_exists(path)) {
        std::printf("Dir already exist %s\n", path);
        return -1;
    }
    // A failure shows when the document is written into it.
    create_directory(path);
    std::printf("Created Dir : %s\n", path);
    return 1;
}
