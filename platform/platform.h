// The few operating-system calls the program needs, with one implementation
// per OS (platform_posix.cpp, platform_win.cpp). Nothing outside this folder
// and the pass-through transport includes an OS header.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

// One argument of the process command line, converted to narrow (ANSI code
// page) text. `fits` is false when it did not fit a 512-byte slot.
struct narrow_argument {
    std::string text;
    bool fits;
};

// On POSIX the entry point hands main's argv over once, before anything asks.
void remember_process_arguments(int argc, char** argv);

// The process's own arguments, program name first. Returns false when the
// command line could not be split (the Windows side prints its own message).
bool process_arguments(std::vector<narrow_argument>& out);

// Expands %name% references as ExpandEnvironmentStringsA does (an unknown
// name stays as written). On POSIX the backslashes of the result become '/',
// and an unset systemdrive stands for /var/lib/kvtapefw.
std::string expand_environment(const std::string& text);

// The value of an environment variable; empty when it is unset. The same
// on every system, unlike the expansion above.
inline std::string environment_variable(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

// The path made absolute against the current folder (as it is, when it
// already is, or when the current folder cannot be learnt).
std::string absolute_path(const std::string& path);

// True when something (file or folder) exists under the path.
bool path_exists(const std::string& path);
// True when both paths lead to one existing file, whatever their spelling:
// links followed, compared by device and inode (volume and file index on
// Windows).
bool same_file(const std::string& a, const std::string& b);
// Creates one directory level; false when that fails.
bool create_directory(const std::string& path);
// True only for a regular file (not a folder, device or pipe).
bool is_regular_file(const std::string& path);
// Opens `path` for appending, creating it when missing, and never blocks:
// anything but a regular file (a FIFO, a folder, a device) is refused before
// it is opened. The caller owns the stream (a file_handle takes it at once;
// <fcntl.h> has a struct of that name, so this header cannot use it). Null,
// with the reason in words in `why`, when refused or when the file cannot be
// opened for appending.
std::FILE* open_regular_file_for_append(const std::string& path, std::string& why);
// Replaces `to` by `from` in one step (rename over an existing file), so that
// a reader never sees a half-written file.
bool replace_file(const std::string& from, const std::string& to);
// Removes a file; false when that fails.
bool remove_file(const std::string& path);
// The names in a folder (no "." or ".."); empty when it cannot be read.
std::vector<std::string> list_directory(const std::string& path);
// The same, telling an empty folder from one that is not there or cannot be
// read (false): where a missing folder must not pass for an empty one.
bool read_directory(const std::string& path, std::vector<std::string>& names);
// True only for a folder.
bool is_directory(const std::string& path);
// `name` inside `folder`, joined with the system's own separator.
std::string path_in_folder(const std::string& folder, const std::string& name);
// Where the public keys trusted to sign the firmware catalogue lie when
// KVFW_TRUSTED_KEYS names no folder: /etc/kvtapefw/trusted-keys, and
// %ProgramData%\kvtapefw\trusted-keys on Windows.
std::string default_trusted_keys_folder();
// Where a host keeps what it must remember between runs (the highest
// catalogue serial it accepted, the history of its runs):
// /var/lib/kvtapefw, and %ProgramData%\kvtapefw on Windows.
std::string default_state_folder();
// The host's lock that keeps runs apart (platform/run_lock.h):
// /run/lock/kvtapefw.lock, and the named mutex Global\kvtapefw on Windows.
std::string default_run_lock_name();
// The folder part of a path (before its last separator, '/' or '\\' on
// Windows); "." when the path has none.
std::string folder_of_path(const std::string& path);

// True when standard error is a terminal a person is watching.
bool stderr_is_terminal();

// Sleeps, ending early when a request to stop arrives (platform/interrupt.h):
// a run asked to stop does not sit out a settle wait first.
void platform_sleep_ms(std::uint32_t milliseconds);
std::int64_t platform_now_seconds();  // calendar time, whole seconds
// The exit status the caller of the process sees when main returns `code`:
// its low byte on POSIX, the code itself on Windows.
int process_exit_status(int code);
// The host's own name, as the system tells it; empty when it does not.
std::string host_name();
