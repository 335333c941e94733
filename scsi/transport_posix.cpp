// A POSIX host has no tape class driver with the Windows pass-through; the
// program still runs (and finds no drive) unless the simulated bus is chosen.
#include "scsi/transport.h"

namespace {
class no_tape_devices final : public scsi_transport {
public:
    int open(scsi_device&) override { return -1; }
    void close(scsi_device&) override {}
    void execute(scsi_request& request) override { store_host_failure(request, scsi_host_failed); }
};
}  // namespace

scsi_transport& platform_transport() {
    static no_tape_devices transport;
    return transport;
}

std::string tape_device_name(std::uint32_t address) { return "tape device " + std::to_string(address); }
