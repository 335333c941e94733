// Small files taken or given whole: documents and state files that a reader
// must never see half-written, and inputs that must not be read without bound.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// No bound on the size of a file read whole.
constexpr std::size_t any_file_size = static_cast<std::size_t>(-1);

// Reads the regular file at `path` into `content` (emptied first). False when
// the path is not a regular file (a folder, device or pipe is never opened),
// when the file cannot be read, or when it holds more than `limit` bytes: no
// more than limit + 1 bytes are ever read.
bool read_whole_file(const std::string& path, std::size_t limit, std::string& content);

enum class file_write_result { written, not_opened, not_written, not_replaced };

// Writes `content` into a new file beside `path` (its name with ".new"
// added), flushes and closes it, checking every step, and then renames it
// over `path` in one step. On any failure the new file is removed and
// whatever stood at `path` is left as it was.
file_write_result replace_whole_file(const std::string& path, std::string_view content);
