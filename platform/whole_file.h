// Small files taken or given whole: documents and state files that a reader
// must never see half-written, and inputs that must not be read without bound.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// No bound on the size of a file read whole.
constexpr std::size_t any_file_size = static_cast<std::size_t>(-1);

// Reads the regular file at `path` into `content` (emptied first). False when
// the path is not a regular file (a folder, device or pipe is never opened),
// when the file cannot be read, or when it holds more than `limit` bytes: no
// more than limit + 1 bytes are ever read.
bool read_whole_file(const std::string& path, std::size_t limit, std::string& content);

enum class file_write_result { written, not_opened, not_written, not_replaced, not_taken };

// How long a reader of a path written in place (a FIFO, a terminal) is given
// to take what is written; the rest is then dropped (`not_taken`).
constexpr std::uint32_t in_place_reader_limit_ms = 5000;

// Writes `content` whole or not at all, and never changes what the path is:
// - a symbolic link is followed, and the file it names is replaced while the
//   link stays;
// - a regular file (or none yet) is replaced: the content goes into a new
//   file made exclusively in the same folder (never an existing file or a
//   link planted there), is flushed to the disk and closed, every step
//   checked, and the new file is then renamed over the path in one step; on
//   any failure it is removed and whatever stood at the path stays as it was;
// - a folder is never replaced: the rename fails;
// - a chain of links that never ends is refused (not_opened), never
//   replaced;
// - anything else (a FIFO, a terminal, a device such as /dev/stdout) is
//   written into where it is, never replaced; a FIFO with no reader is not
//   waited for, and one whose reader does not take what is written is
//   waited for in_place_reader_limit_ms at most (not_taken).
// When the new file is in place its folder is put on the disk too, so that
// a power loss cannot bring the old file back.
// `why`, when given, gets the cause of a failure in words; when the path is
// a link, they begin with where it leads ("it leads to <path>: ").
file_write_result replace_whole_file(const std::string& path, std::string_view content, std::string* why = nullptr);
