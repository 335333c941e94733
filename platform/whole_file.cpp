#include "platform/whole_file.h"

#include <cstdio>

#include "platform/file_handle.h"
#include "platform/file_read.h"
#include "platform/file_write.h"
#include "platform/platform.h"

bool read_whole_file(const std::string& path, std::size_t limit, std::string& content) {
    content.clear();
    std::string why;
    file_handle file(open_regular_file_for_reading(path, why));
    if (!file) return false;
    char chunk[4096];
    for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, file.get())) > 0;) {
        if (n > limit - content.size()) return false;
        content.append(chunk, n);
    }
    return std::ferror(file.get()) == 0;
}

namespace {

// A full disk may show at any of the steps: in the write, when the stream's
// buffer is flushed, when the file is put on the disk, or only when it is
// closed.
bool write_and_close(std::FILE* file, std::string_view content, bool to_disk, std::string& why) {
    const bool written = std::fwrite(content.data(), 1, content.size(), file) == content.size();
    const bool flushed = written && (to_disk ? flush_to_disk(file) : std::fflush(file) == 0);
    if (!flushed) why = last_error_text();
    const bool closed = std::fclose(file) == 0;
    if (flushed && !closed) why = last_error_text();
    return flushed && closed;
}

file_write_result write_in_place(const std::string& path, std::string_view content, std::string& why) {
    std::FILE* file = open_in_place(path, why);
    if (file == nullptr) return file_write_result::not_opened;
    switch (write_in_place_within(file, content, in_place_reader_limit_ms, why)) {
        case in_place_write::written: return file_write_result::written;
        case in_place_write::not_taken: return file_write_result::not_taken;
        case in_place_write::failed: break;
    }
    return file_write_result::not_written;
}

}  // namespace

file_write_result replace_whole_file(const std::string& path, std::string_view content, std::string* why) {
    std::string cause;
    const write_target resolved = resolve_write_target(path);
    const std::string& target = resolved.path;
    file_write_result result = file_write_result::written;
    if (!resolved.refused.empty()) {
        cause = resolved.refused;
        result = file_write_result::not_opened;
    } else if (resolved.in_place) {
        result = write_in_place(target, content, cause);
    } else {
        std::string fresh;
        std::FILE* file = create_new_file(target, target, fresh, cause);
        if (file == nullptr) {
            result = file_write_result::not_opened;  // nothing of ours to remove
        } else if (!write_and_close(file, content, true, cause)) {
            result = file_write_result::not_written;
        } else if (!replace_file(fresh, target)) {
            cause = last_error_text();
            result = file_write_result::not_replaced;
        } else {
            // A folder that cannot be put on the disk this way still holds
            // the new file; the rename stands either way.
            flush_folder_to_disk(folder_of_path(target));
        }
        if (result != file_write_result::written && !fresh.empty()) remove_file(fresh);
    }
    if (result != file_write_result::written && target != path) cause = "it leads to " + target + ": " + cause;
    if (why) *why = cause;
    return result;
}
