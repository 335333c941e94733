// The UIO device through which the kernel shares one user backstore's command
// ring: found by the backstore's name, opened and mapped for the life of the
// object.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class uio_ring {
public:
    uio_ring() = default;
    ~uio_ring();
    uio_ring(const uio_ring&) = delete;
    uio_ring& operator=(const uio_ring&) = delete;

    int fd() const { return fd_; }
    std::uint8_t* map() const { return map_; }
    std::size_t size() const { return size_; }

private:
    friend bool open_uio_ring(const std::string&, uio_ring&, std::string&);
    int fd_ = -1;
    std::uint8_t* map_ = nullptr;
    std::size_t size_ = 0;
};

// Waits (up to 30 s) for the UIO device of the user backstore `backstore`,
// opens it and maps its ring. False with `error` set when that fails.
bool open_uio_ring(const std::string& backstore, uio_ring& ring, std::string& error);
