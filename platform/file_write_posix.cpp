#include "platform/file_write.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

path_kind kind_of_path(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return path_kind::missing;
    if (S_ISDIR(info.st_mode)) return path_kind::folder;
    return S_ISREG(info.st_mode) ? path_kind::regular : path_kind::other;
}

namespace {

bool is_open_file_link(const std::string& path) {
    return path.compare(0, 8, "/dev/fd/") == 0 ||
           (path.compare(0, 6, "/proc/") == 0 && path.find("/fd/") != std::string::npos);
}

}  // namespace

write_target resolve_write_target(const std::string& path) {
    write_target target{path, false, {}};
    std::string first_hop;  // where the path itself leads, for a chain that never ends
    // As the kernel does, give up on a chain of links that does not end.
    for (int hops = 0; hops < 40; ++hops) {
        struct stat info {};
        if (::lstat(target.path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) break;
        // Such a link names an open file (a pipe, a terminal, or a file a
        // shell redirected to): replacing what it reads as would lose it.
        if (is_open_file_link(target.path)) {
            target.in_place = true;
            return target;
        }
        std::vector<char> name(PATH_MAX + 1);
        const ssize_t length = ::readlink(target.path.c_str(), name.data(), PATH_MAX);
        if (length <= 0) break;
        const std::string next(name.data(), static_cast<std::size_t>(length));
        if (next.front() == '/') {
            target.path = next;
        } else {
            // A relative target is read from the link's own folder.
            const std::size_t slash = target.path.rfind('/');
            target.path = slash == std::string::npos ? next : target.path.substr(0, slash + 1) + next;
        }
        if (first_hop.empty()) first_hop = target.path;
    }
    struct stat info {};
    if (::stat(target.path.c_str(), &info) != 0 && errno == ELOOP) {
        target.refused = last_error_text();
        if (!first_hop.empty()) target.path = first_hop;
        return target;
    }
    target.in_place = kind_of_path(target.path) == path_kind::other;
    return target;
}

namespace {

// A new file named `prefix` and six more characters, opened to read and
// write. mkstemp opens with O_CREAT | O_EXCL: an existing file or a link
// under the name makes it try another name, never open what is there. -1,
// with the cause, when none could be made.
int make_exclusive(const std::string& prefix, std::string& name, std::string& why) {
    std::vector<char> pattern(prefix.begin(), prefix.end());
    for (const char c : std::string("XXXXXX")) pattern.push_back(c);
    pattern.push_back('\0');
    const int fd = ::mkstemp(pattern.data());
    if (fd < 0) {
        why = last_error_text();
        return -1;
    }
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    name = pattern.data();
    return fd;
}

// The descriptor as a stream; on failure it is closed, and the file removed
// when it still has a name.
std::FILE* stream_of(int fd, const char* mode, const std::string& name, std::string& why) {
    std::FILE* file = ::fdopen(fd, mode);
    if (file == nullptr) {
        why = last_error_text();
        ::close(fd);
        if (!name.empty()) ::unlink(name.c_str());
    }
    return file;
}

}  // namespace

std::FILE* create_new_file(const std::string& prefix, const std::string& like, std::string& created, std::string& why) {
    const int fd = make_exclusive(prefix + ".", created, why);
    if (fd < 0) return nullptr;
    struct stat info {};
    mode_t mode = 0;
    if (::stat(like.c_str(), &info) == 0 && S_ISREG(info.st_mode)) {
        mode = info.st_mode & 07777;
    } else {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        mode = 0666 & ~mask;
    }
    ::fchmod(fd, mode);
    return stream_of(fd, "wb", created, why);
}

std::FILE* create_unnamed_file(const std::string& folder, std::string& why) {
    // Made exclusively (mode 0600), then unlinked at once.
    std::string name;
    const int fd = make_exclusive(folder + "/kvtapefw-image.", name, why);
    if (fd < 0) return nullptr;
    ::unlink(name.c_str());
    return stream_of(fd, "w+b", "", why);
}

bool flush_to_disk(std::FILE* file) { return std::fflush(file) == 0 && ::fsync(::fileno(file)) == 0; }

bool flush_folder_to_disk(const std::string& folder) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool flushed = ::fsync(fd) == 0;
    ::close(fd);
    return flushed;
}

namespace {

// O_NONBLOCK: a FIFO with no reader fails at once (ENXIO) rather than hold
// the run, and it stays set, so that no write waits either. Null, with the
// cause, when it cannot be opened.
std::FILE* open_never_waiting(const std::string& path, int flags, const char* mode, std::string& why) {
    const int fd = ::open(path.c_str(), flags | O_WRONLY | O_APPEND | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
    if (fd < 0) {
        why = errno == ENXIO ? "nothing reads from it" : last_error_text();
        return nullptr;
    }
    std::FILE* file = ::fdopen(fd, mode);
    if (file == nullptr) {
        why = last_error_text();
        ::close(fd);
    }
    return file;
}

}  // namespace

std::FILE* open_in_place(const std::string& path, std::string& why) {
    // O_APPEND: a file that standard output was redirected to (reached
    // through /dev/stdout) keeps the console's lines, and the report
    // follows them.
    return open_never_waiting(path, 0, "wb", why);
}

std::FILE* open_append_without_waiting(const std::string& path, std::string& why) {
    return open_never_waiting(path, O_CREAT, "ab", why);
}

in_place_write write_in_place_within(std::FILE* file, std::string_view content, std::uint32_t limit_ms,
                                     std::string& why) {
    // Written past the stream's buffer, straight to the descriptor, so that
    // every wait is one this loop chooses.
    const int fd = ::fileno(file);
    using clock = std::chrono::steady_clock;
    const clock::time_point end = clock::now() + std::chrono::milliseconds(limit_ms);
    in_place_write result = in_place_write::written;
    for (std::size_t at = 0; at < content.size();) {
        const ssize_t n = ::write(fd, content.data() + at, content.size() - at);
        if (n > 0) {
            at += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            why = last_error_text();
            result = in_place_write::failed;
            break;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - clock::now()).count();
        struct pollfd ready {fd, POLLOUT, 0};
        if (left <= 0 || ::poll(&ready, 1, static_cast<int>(left)) == 0) {
            result = in_place_write::not_taken;
            break;
        }
    }
    if (std::fclose(file) != 0 && result == in_place_write::written) {
        why = last_error_text();
        result = in_place_write::failed;
    }
    return result;
}

std::string last_error_text() { return std::strerror(errno); }
