// The Linux transport: tape device N is /dev/nstN, held open for as long as
// the program uses the drive so no other program gets it; its commands go
// through the same drive's SCSI generic node (the one sysfs names for it),
// each written to the node and its answer read back, the data moving straight
// from and to the caller's buffer.
#include <fcntl.h>
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
    unique_fd tape;       // keeps the tape driver's exclusive open
    unique_fd generic;    // where the commands go
    bool broken = false;  // an answer could not be collected: nothing more is sent
};

// Sends one command and collects its answer with the sg driver's write() and
// read(). A process stopped and continued while it waits (Ctrl-Z, SIGSTOP, a
// debugger attaching) has its system call restarted: a restarted SG_IO ioctl
// sends its command again, and a WRITE BUFFER chunk appended twice corrupts
// the image. A restarted read() only waits again for the one answer. False,
// with errno set, when the command could not be sent or its answer collected.
bool send_and_collect(int fd, sg_io_hdr_t& header) {
    ssize_t done;
    do done = ::write(fd, &header, sizeof header);
    while (done < 0 && errno == EINTR);
    if (done < 0) return false;
    do done = ::read(fd, &header, sizeof header);
    while (done < 0 && errno == EINTR);
    if (done == static_cast<ssize_t>(sizeof header)) return true;
    if (done >= 0) errno = EIO;
    return false;
}

class sg_io_transport final : public scsi_transport {
public:
    int open(scsi_device& device) override {
        const std::string tape_path = linux_tape_path(device.address);
        // The node must be the SCSI tape driver's before anything opens it:
        // opening another driver's node can act on some other device.
        struct stat named {};
        if (::stat(tape_path.c_str(), &named) != 0) return refused(tape_path, errno);
        if (!is_character_device(named, scsi_tape_major, -1)) return not_the_device(tape_path, "a SCSI tape device");
        // Non-blocking: a drive without a tape (every drive being flashed)
        // still opens. The tape driver lets one program in at a time.
        unique_fd tape(::open(tape_path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
        if (tape.get() < 0) return refused(tape_path, errno);
        struct stat info {};
        if (::fstat(tape.get(), &info) != 0 || !is_character_device(info, scsi_tape_major, -1)) {
            return not_the_device(tape_path, "a SCSI tape device");
        }
        // From here on the address has a drive: whatever keeps us from its
        // generic node, it could not be examined, never is it absent.
        const generic_node node = generic_node_of_char_device("/sys", major(info.st_rdev), minor(info.st_rdev));
        if (node.name.empty()) {
            tell_once(no_generic_told_, tape_path + " has no SCSI generic node; load the sg module");
            return transport_open_held;
        }
        const std::string generic_path = "/dev/" + node.name;
        const int minor_number = static_cast<int>(node.minor);
        if (::stat(generic_path.c_str(), &named) != 0) return generic_refused(tape_path, generic_path, errno);
        if (!is_character_device(named, node.major, minor_number)) {
            return not_the_device(generic_path, "the SCSI generic node of " + tape_path);
        }
        // O_EXCL: no other program's commands may reach the drive through
        // its generic node while we use it, as the tape open keeps them off
        // the tape device. Non-blocking so that a held node fails at once.
        unique_fd generic(::open(generic_path.c_str(), O_RDWR | O_NONBLOCK | O_EXCL | O_CLOEXEC));
        if (generic.get() < 0) return generic_refused(tape_path, generic_path, errno);
        if (::fstat(generic.get(), &info) != 0 || !is_character_device(info, node.major, minor_number)) {
            return not_the_device(generic_path, "the SCSI generic node of " + tape_path);
        }
        // Each answer is waited for by a blocking read().
        const int flags = ::fcntl(generic.get(), F_GETFL);
        if (flags < 0 || ::fcntl(generic.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) return transport_open_held;
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
        auto* handle = static_cast<linux_tape_handle*>(request.device->os_handle);
        if (handle == nullptr || handle->broken) {
            store_host_failure(request, scsi_host_failed);
            return;
        }
        sg_io_hdr_t header;
        fill_sg_io_header(header, request, sense_);
        if (!send_and_collect(handle->generic.get(), header)) {
            // A command whose answer was not collected may still be under
            // way: no other command may follow it on this handle.
            handle->broken = true;
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

    // The tape device is there, so its drive is denied to us or held,
    // whatever the error; only a node that is missing or broken is worth a
    // line of its own.
    int generic_refused(const std::string& tape_path, const std::string& generic_path, int error) {
        if (error != EBUSY && !is_permission_error(error)) {
            tell_once(generic_told_, tape_path + ": its SCSI generic node " + generic_path + " cannot be opened (" +
                                         std::strerror(error) + "); its drive is left alone");
        }
        const int failure = refused(generic_path, error);
        return failure == transport_open_denied ? failure : transport_open_held;
    }

    int not_the_device(const std::string& path, const std::string& what) {
        tell_once(wrong_node_told_, path + " is not " + what + "; its drive is left alone");
        return transport_open_held;
    }

    // A missing right, module or node affects every drive alike: one line is enough.
    static void tell_once(bool& told, const std::string& message) {
        if (told) return;
        told = true;
        std::fprintf(stderr, "kvtapefw: %s\n", message.c_str());
    }

    sg_io_sense sense_{};  // one sense buffer: one command in flight at a time
    bool permission_told_ = false;
    bool no_generic_told_ = false;
    bool generic_told_ = false;
    bool wrong_node_told_ = false;
};

}  // namespace

scsi_transport& platform_transport() {
    static sg_io_transport transport;
    return transport;
}

std::string tape_device_name(std::uint32_t address) { return linux_tape_path(address); }
