#include "platform/run_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// The holder writes its process number into the file; a waiting run reads
// it to say whom it waited for.
long read_holder(int fd) {
    char text[32] = {};
    const ssize_t length = ::pread(fd, text, sizeof text - 1, 0);
    return length > 0 ? std::strtol(text, nullptr, 10) : 0;
}

}  // namespace

run_lock_state host_run_lock::try_take(const std::string& name) {
    if (handle_ < 0) {
        // Never through a FIFO or a device planted under the name: only a
        // regular file is kept open.
        const int fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0644);
        if (fd < 0) {
            failure_ = std::strerror(errno);
            return run_lock_state::failed;
        }
        struct stat info {};
        if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
            failure_ = "it is not a regular file";
            ::close(fd);
            return run_lock_state::failed;
        }
        handle_ = fd;
    }
    const int fd = static_cast<int>(handle_);
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK && errno != EINTR) {
            failure_ = std::strerror(errno);
            release();
            return run_lock_state::failed;
        }
        holder_ = read_holder(fd);
        return run_lock_state::busy;
    }
    const std::string pid = std::to_string(static_cast<long>(::getpid())) + "\n";
    if (::ftruncate(fd, 0) == 0) {
        [[maybe_unused]] const ssize_t written = ::pwrite(fd, pid.data(), pid.size(), 0);
    }
    holder_ = 0;
    taken_ = true;
    return run_lock_state::held;
}

void host_run_lock::release() {
    // Closing the descriptor lets the lock go; the file stays, as an empty
    // lock file in /run/lock is meant to.
    if (handle_ >= 0) ::close(static_cast<int>(handle_));
    handle_ = -1;
    taken_ = false;
}
