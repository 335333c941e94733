#include "scsi/transport.h"

#include <algorithm>
#include <cstring>

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
    // A byte the drive did not return is no part of its answer: it reads 0.
    const auto byte = [&](std::size_t i) -> std::uint8_t { return i < kept ? device.sense[i] : 0; };
    const std::uint8_t response_code = byte(0) & 0x7F;
    if (response_code == 0x70 || response_code == 0x71) {
        // Fixed format: the key byte is kept whole, flags (filemark,
        // end-of-medium, incorrect length) included.
        device.sense_key = byte(2);
        device.asc_ascq = static_cast<std::uint16_t>(byte(12) * 256 + byte(13));
    } else if (response_code == 0x72 || response_code == 0x73) {
        device.sense_key = byte(1) & 0x0F;
        device.asc_ascq = static_cast<std::uint16_t>(byte(2) * 256 + byte(3));
    } else {
        device.sense_key = 0;
        device.asc_ascq = 0;
    }
}

void store_host_failure(scsi_request& request, std::uint8_t host_status) {
    scsi_device& device = *request.device;
    device.scsi_status = 0xFF;
    device.host_status = host_status;
    device.transferred = 0;
    request.transferred = 0;
}
