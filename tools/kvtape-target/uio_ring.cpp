#include "tools/kvtape-target/uio_ring.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "platform/platform.h"

namespace {

constexpr int uio_wait_ms = 30000;

std::string first_line(const std::string& path) {
    std::ifstream file(path);
    std::string line;
    std::getline(file, line);
    return line;
}

// The kernel names the UIO device of a user backstore
// "tcm-user/<hba>/<backstore name>/<dev_config>".
std::string uio_of_backstore(const std::string& backstore) {
    for (const std::string& uio : list_directory("/sys/class/uio")) {
        const std::string name = first_line("/sys/class/uio/" + uio + "/name");
        const std::size_t first = name.find('/');
        if (first == std::string::npos || name.compare(0, first, "tcm-user") != 0) continue;
        const std::size_t second = name.find('/', first + 1);
        if (second == std::string::npos) continue;
        const std::size_t third = name.find('/', second + 1);
        if (name.substr(second + 1, third == std::string::npos ? std::string::npos : third - second - 1) == backstore) {
            return uio;
        }
    }
    return "";
}

}  // namespace

uio_ring::~uio_ring() {
    if (map_) ::munmap(map_, size_);
    if (fd_ >= 0) ::close(fd_);
}

bool open_uio_ring(const std::string& backstore, uio_ring& ring, std::string& error) {
    std::string uio;
    for (int waited = 0; (uio = uio_of_backstore(backstore)).empty() && waited < uio_wait_ms; waited += 100) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (uio.empty()) {
        error = "no user backstore " + backstore;
        return false;
    }
    const std::string size_text = first_line("/sys/class/uio/" + uio + "/maps/map0/size");
    ring.size_ = static_cast<std::size_t>(std::strtoull(size_text.c_str(), nullptr, 0));
    ring.fd_ = ::open(("/dev/" + uio).c_str(), O_RDWR | O_CLOEXEC);
    void* map = ring.fd_ < 0 || ring.size_ == 0
                    ? MAP_FAILED
                    : ::mmap(nullptr, ring.size_, PROT_READ | PROT_WRITE, MAP_SHARED, ring.fd_, 0);
    if (map == MAP_FAILED) {
        error = "cannot map /dev/" + uio + " of " + backstore;
        return false;
    }
    ring.map_ = static_cast<std::uint8_t*>(map);
    return true;
}
