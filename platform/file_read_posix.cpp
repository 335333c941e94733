#include "platform/file_read.h"

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

std::FILE* open_regular_file_for_reading(const std::string& path, std::string& why) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        why = std::strerror(errno);
        return nullptr;
    }
    struct stat info {};
    const int flags = ::fcntl(fd, F_GETFL);
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        why = S_ISFIFO(info.st_mode) ? "it is a FIFO, not a regular file"
              : S_ISDIR(info.st_mode) ? "it is a folder, not a regular file"
                                      : "it is not a regular file";
        ::close(fd);
        return nullptr;
    }
    // A regular file never blocks, but reads keep their ordinary meaning.
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        why = std::strerror(errno);
        ::close(fd);
        return nullptr;
    }
    std::FILE* file = ::fdopen(fd, "rb");
    if (file == nullptr) {
        why = std::strerror(errno);
        ::close(fd);
    }
    return file;
}

std::string real_path_of_open_file(std::FILE* file) {
    // Linux names every open file in /proc; elsewhere the system cannot be
    // asked, and the answer is "unknown".
    const std::string link = "/proc/self/fd/" + std::to_string(::fileno(file));
    std::vector<char> name(PATH_MAX + 1);
    const ssize_t length = ::readlink(link.c_str(), name.data(), PATH_MAX);
    if (length <= 0 || name[0] != '/') return {};
    return std::string(name.data(), static_cast<std::size_t>(length));
}

std::string real_path(const std::string& path) {
    std::unique_ptr<char, decltype(&::free)> resolved(::realpath(path.c_str(), nullptr), ::free);
    return resolved ? std::string(resolved.get()) : std::string();
}

bool real_path_within(const std::string& path, const std::string& folder) {
    if (folder.empty() || path.size() <= folder.size()) return false;
    if (folder == "/") return path.front() == '/';
    return path.compare(0, folder.size(), folder) == 0 && path[folder.size()] == '/';
}
