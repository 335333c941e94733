#include "scsi/transport.h"

#include <algorithm>
#include <cstring>

#include "scsi/sense.h"

namespace {
scsi_transport* installed_transport = nullptr;
}

scsi_transport& active_transport() {
    return installed_transport ? *installed_transport : platform_transport();
}

void install_transport(scsi_transport* transport) { installed_transport = transport; }

void store_scsi_outcome(scsi_request& request, std::uint8_t scsi_status, std::int32_t transferred,
                        const std::uint8_t* sense, std::size_t sense_length) {
    scsi_device& device = *request.device;
    device.host_status = 0;
    device.scsi_status = scsi_status;
    device.transferred = transferred;
    request.transferred = transferred;
    if (scsi_status != scsi_status_check_condition) return;

    const std::size_t kept = sense ? std::min(sense_length, device.sense.size()) : 0;
    device.sense_length = static_cast<std::uint8_t>(kept);
    if (kept > 0) std::memcpy(device.sense.data(), sense, kept);
    const sense_fields fields = parse_sense(device.sense.data(), kept);
    // The key byte as fixed sense has it: the key with the tape flags
    // (filemark, end-of-medium, incorrect length) above it.
    device.sense_key = static_cast<std::uint8_t>(fields.key | (fields.filemark ? 0x80 : 0) |
                                                 (fields.end_of_medium ? 0x40 : 0) | (fields.incorrect_length ? 0x20 : 0));
    device.asc_ascq = static_cast<std::uint16_t>(fields.asc * 256 + fields.ascq);
}

void store_host_failure(scsi_request& request, std::uint8_t host_status) {
    scsi_device& device = *request.device;
    device.scsi_status = 0xFF;
    device.host_status = host_status;
    device.transferred = 0;
    request.transferred = 0;
}
