#include "platform/whole_file.h"

#include <cstdio>

#include "platform/file_handle.h"
#include "platform/platform.h"

bool read_whole_file(const std::string& path, std::size_t limit, std::string& content) {
    content.clear();
    if (!is_regular_file(path)) return false;
    file_handle file = open_file(path.c_str(), "rb");
    if (!file) return false;
    char chunk[4096];
    for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, file.get())) > 0;) {
        if (n > limit - content.size()) return false;
        content.append(chunk, n);
    }
    return std::ferror(file.get()) == 0;
}

namespace {

// A full disk may show at any of the three steps: in the write, when the
// stream's buffer is flushed, or only when the file is closed.
file_write_result write_new_file(const std::string& path, std::string_view content) {
    file_handle file = open_file(path.c_str(), "wb");
    if (!file) return file_write_result::not_opened;
    const bool written = std::fwrite(content.data(), 1, content.size(), file.get()) == content.size();
    const bool flushed = std::fflush(file.get()) == 0;
    const bool closed = std::fclose(file.release()) == 0;
    return written && flushed && closed ? file_write_result::written : file_write_result::not_written;
}

}  // namespace

file_write_result replace_whole_file(const std::string& path, std::string_view content) {
    const std::string fresh = path + ".new";
    file_write_result result = write_new_file(fresh, content);
    if (result == file_write_result::not_opened) return result;  // nothing of ours to remove
    if (result == file_write_result::written && !replace_file(fresh, path)) {
        result = file_write_result::not_replaced;
    }
    if (result != file_write_result::written) remove_file(fresh);
    return result;
}
