// The operating-system steps of writing a file whole: where a path really
// leads, a new file that cannot be anything that stood there before, and a
// write that is on the disk before it counts.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

enum class path_kind { missing, regular, folder, other };

// What stands at the path, links followed: nothing, a regular file, a
// folder, or anything else (a FIFO, a terminal, a device).
path_kind kind_of_path(const std::string& path);

// Where a file written whole to `path` goes. Symbolic links are followed in
// turn, also to a target that does not exist yet: the file is written there
// and the links stay. `in_place` when the path leads to something that is
// not a regular file or folder (a FIFO, a terminal, a device), or through a
// link the system keeps for an open file (/dev/stdout, /dev/fd/N,
// /proc/<pid>/fd/N): it is written into, never replaced.
// `refused` says why nothing may be written there at all: a chain of links
// that never ends (it would otherwise be replaced by a regular file).
struct write_target {
    std::string path;
    bool in_place;
    std::string refused;
};
write_target resolve_write_target(const std::string& path);

// A new file whose name begins with `prefix`, made exclusively: never an
// existing file, and never through a link planted under its name. Its mode
// is that of `like` when that is a file, else what the user's umask gives a
// new file. `created` gets its path. Null, with the cause in `why`, when
// none could be made.
std::FILE* create_new_file(const std::string& prefix, const std::string& like, std::string& created, std::string& why);

// A new file in `folder` for reading and writing that no name leads to (it
// is unlinked as soon as it is made), gone once it is closed. Null, with the
// cause in `why`, when none could be made. POSIX only.
std::FILE* create_unnamed_file(const std::string& folder, std::string& why);

// Flushes the stream and asks the system to put the file on the disk.
bool flush_to_disk(std::FILE* file);

// Asks the system to put a folder's entries on the disk: a file renamed into
// it stays renamed after a power loss. False when it cannot (some file
// systems do not keep folders that way; Windows has no such call).
bool flush_folder_to_disk(const std::string& folder);

// Opens something that is not a regular file (a FIFO, a terminal, a device)
// to write into it where it is, without waiting for a reader that is not
// there. Null, with the cause in `why`, when it cannot.
std::FILE* open_in_place(const std::string& path, std::string& why);

enum class in_place_write { written, failed, not_taken };

// Writes `content` into a stream open_in_place opened, and closes it. A
// reader that does not take it is waited for `limit_ms` in all, never
// longer: what is left then is dropped (`not_taken`). `failed`, with the
// cause in `why`, when a write or the close fails.
in_place_write write_in_place_within(std::FILE* file, std::string_view content, std::uint32_t limit_ms,
                                     std::string& why);

// Opens the file to append to it, created when missing, never waiting: a
// FIFO that nothing reads fails at once ("nothing reads from it"), and the
// stream's writes fail rather than wait for a reader that does not take
// them. Null, with the cause in `why`, when it cannot be opened.
std::FILE* open_append_without_waiting(const std::string& path, std::string& why);

// The last system error in words.
std::string last_error_text();
