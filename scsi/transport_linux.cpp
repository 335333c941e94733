// The Linux transport: tape device N is /dev/nstN, held open for as long as
// the program uses the drive so no other program gets it; its commands go
// through the same drive's SCSI generic node with SG_IO, one synchronous
// call per command, the data moving straight from and to the caller's buffer.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>

#include "scsi/sg_io_linux.h"
#include "scsi/transport.h"

namespace {

class unique_fd {
public:
    explicit unique_fd(int fd = -1) : fd_(fd) {}
    ~unique_fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    unique_fd(unique_fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    unique_fd& operator=(unique_fd&& other) noexcept {
        std::swap(fd_, other.fd_);
        return *this;
    }
    unique_fd(const unique_fd&) = delete;
    unique_fd& operator=(const unique_fd&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

// What os_handle points to while a drive is open.
struct linux_tape_handle {
    unique_fd tape;     // keeps the tape driver's exclusive open
    unique_fd generic;  // where the commands go
};

class sg_io_transport final : public scsi_transport {
public:
    int open(scsi_device& device) override {
        const std::string tape_path = linux_tape_path(device.address);
        // Non-blocking: a drive without a tape (every drive being flashed)
        // still opens. The tape driver lets one program in at a time.
        unique_fd tape(::open(tape_path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
        if (tape.get() < 0) return refused(tape_path, errno);
        struct stat info {};
        if (::fstat(tape.get(), &info) != 0 || !S_ISCHR(info.st_mode)) return transport_open_absent;
        const std::string generic_name = sg_node_of_char_device("/sys", major(info.st_rdev), minor(info.st_rdev));
        if (generic_name.empty()) {
            tell_once(no_generic_told_, tape_path + " has no SCSI generic node; load the sg module");
            return transport_open_held;
        }
        const std::string generic_path = "/dev/" + generic_name;
        // O_EXCL: no other program's commands may reach the drive through
        // its generic node while we use it, as the tape open keeps them off
        // the tape device.
        unique_fd generic(::open(generic_path.c_str(), O_RDWR | O_NONBLOCK | O_EXCL | O_CLOEXEC));
        if (generic.get() < 0) return refused(generic_path, errno);
        auto handle = std::make_unique<linux_tape_handle>();
        handle->tape = std::move(tape);
        handle->generic = std::move(generic);
        device.os_handle = handle.release();
        return 0;
    }

    void close(scsi_device& device) override {
        delete static_cast<linux_tape_handle*>(device.os_handle);
    }

    void execute(scsi_request& request) override {
        const auto* handle = static_cast<const linux_tape_handle*>(request.device->os_handle);
        if (handle == nullptr) {
            store_host_failure(request, scsi_host_failed);
            return;
        }
        sg_io_hdr_t header;
        fill_sg_io_header(header, request, sense_);
        if (::ioctl(handle->generic.get(), SG_IO, &header) != 0) {
            store_host_failure(request, sg_io_call_failure(errno));
            return;
        }
        read_sg_io_header(header, request, sense_);
    }

private:
    int refused(const std::string& path, int error) {
        if (is_permission_error(error)) {
            tell_once(permission_told_, path + ": " + std::strerror(error) +
                                            "; reaching tape drives needs root or CAP_SYS_RAWIO "
                                            "with read and write access to /dev/nst* and /dev/sg*");
        }
        return linux_open_failure(error);
    }

    // A missing right or module affects every drive alike: one line is enough.
    static void tell_once(bool& told, const std::string& message) {
        if (told) return;
        told = true;
        std::fprintf(stderr, "kvtapefw: %s\n", message.c_str());
    }

    sg_io_sense sense_{};  // one sense buffer: one command in flight at a time
    bool permission_told_ = false;
    bool no_generic_told_ = false;
};

}  // namespace

scsi_transport& platform_transport() {
    static sg_io_transport transport;
    return transport;
}
