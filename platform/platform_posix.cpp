#include "platform/platform.h"

#include "platform/interrupt.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

namespace {
std::vector<std::string> saved_arguments;
constexpr std::size_t argument_slot_size = 512;

// A POSIX host has no system drive. Where the caller did not name one, the
// setup log goes under the program's state folder, as
// /var/lib/kvtapefw/vtxsystem/log/vtxsetup.log; like the Windows system
// drive's vtxsystem\log, that folder is made at installation, never by the
// program.
constexpr const char default_systemdrive[] = "/var/lib/kvtapefw";

const char* environment_value(const std::string& name) {
    if (name.empty()) return nullptr;
    const char* value = std::getenv(name.c_str());
    if (!value && name == "systemdrive") return default_systemdrive;
    return value;
}
}  // namespace

void remember_process_arguments(int argc, char** argv) {
    saved_arguments.assign(argv, argv + argc);
}

bool process_arguments(std::vector<narrow_argument>& out) {
    out.clear();
    for (const std::string& argument : saved_arguments) {
        out.push_back({argument, argument.size() < argument_slot_size});
    }
    return true;
}

std::string expand_environment(const std::string& text) {
    std::string result;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t open = text.find('%', pos);
        if (open == std::string::npos) break;
        const std::size_t close = text.find('%', open + 1);
        if (close == std::string::npos) break;
        result.append(text, pos, open - pos);
        const std::string name = text.substr(open + 1, close - open - 1);
        const char* value = environment_value(name);
        if (value) {
            result += value;
            pos = close + 1;
        } else {
            result.append(text, open, close - open + 1);  // unknown: stays as written
            pos = close + 1;
        }
    }
    result.append(text, pos, std::string::npos);
    std::replace(result.begin(), result.end(), '\\', '/');
    return result;
}

std::string absolute_path(const std::string& path) {
    if (!path.empty() && path.front() == '/') return path;
    std::vector<char> folder(4096);
    if (::getcwd(folder.data(), folder.size()) == nullptr) return path;
    return std::string(folder.data()) + "/" + path;
}

bool path_exists(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

bool same_file(const std::string& a, const std::string& b) {
    struct stat one {}, other {};
    return ::stat(a.c_str(), &one) == 0 && ::stat(b.c_str(), &other) == 0 && one.st_dev == other.st_dev &&
           one.st_ino == other.st_ino;
}

bool create_directory(const std::string& path) { return ::mkdir(path.c_str(), 0777) == 0; }

bool is_regular_file(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

namespace {
const char* not_regular_words(mode_t mode) {
    if (S_ISFIFO(mode)) return "is a FIFO, not a regular file";
    if (S_ISDIR(mode)) return "is a folder, not a regular file";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "is a device, not a regular file";
    return "is not a regular file";
}
}  // namespace

std::FILE* open_regular_file_for_append(const std::string& path, std::string& why) {
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) {
        why = not_regular_words(info.st_mode);
        return nullptr;
    }
    // Non-blocking: should a FIFO take the file's place after the check,
    // the open still returns at once (and is refused below).
    const auto cannot_open = [&why] {
        why = std::string("cannot be opened for appending (") + std::strerror(errno) + ")";
    };
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
    if (fd < 0) {
        cannot_open();
        return nullptr;
    }
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        why = not_regular_words(info.st_mode);
        ::close(fd);
        return nullptr;
    }
    std::FILE* file = ::fdopen(fd, "ab");
    if (file == nullptr) {
        cannot_open();
        ::close(fd);
    }
    return file;
}

bool replace_file(const std::string& from, const std::string& to) {
    return std::rename(from.c_str(), to.c_str()) == 0;
}

bool remove_file(const std::string& path) { return std::remove(path.c_str()) == 0; }

bool read_directory(const std::string& path, std::vector<std::string>& names) {
    names.clear();
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(path.c_str()), ::closedir);
    if (!dir) return false;
    errno = 0;
    while (const dirent* entry = ::readdir(dir.get())) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    return errno == 0;
}

std::vector<std::string> list_directory(const std::string& path) {
    std::vector<std::string> names;
    if (!read_directory(path, names)) names.clear();
    return names;
}

bool is_directory(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::string path_in_folder(const std::string& folder, const std::string& name) {
    if (folder.empty() || folder.back() == '/') return folder + name;
    return folder + "/" + name;
}

std::string default_trusted_keys_folder() { return "/etc/kvtapefw/trusted-keys"; }
std::string default_state_folder() { return "/var/lib/kvtapefw"; }

std::string default_run_lock_name() { return "/run/lock/kvtapefw.lock"; }

std::string folder_of_path(const std::string& path) {
    const std::size_t last = path.find_last_of('/');
    if (last == std::string::npos) return ".";
    return last == 0 ? "/" : path.substr(0, last);
}

bool stderr_is_terminal() { return ::isatty(STDERR_FILENO) == 1; }

void platform_sleep_ms(std::uint32_t milliseconds) { sleep_unless_stopped(milliseconds); }

std::int64_t platform_now_seconds() { return static_cast<std::int64_t>(std::time(nullptr)); }

std::string host_name() {
    char name[256] = "";
    if (::gethostname(name, sizeof name - 1) != 0) return {};
    return name;
}

int process_exit_status(int code) { return code & 0xFF; }
