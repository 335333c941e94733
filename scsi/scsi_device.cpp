#include "scsi/scsi_device.h"

#include <algorithm>

#include "scsi/transport.h"

int scsi_open(scsi_device& device) {
    const int opened = active_transport().open(device);
    device.open_failure = opened == 0                       ? scsi_open_succeeded
                          : opened == transport_open_held   ? scsi_open_held
                          : opened == transport_open_denied ? scsi_open_denied
                                                            : scsi_open_absent;
    device.control = 0;
    device.timeout_ms = scsi_default_timeout_ms;
    device.host_status = 0;
    return opened == 0 ? 0 : -1;
}

int scsi_close(scsi_device& device) {
    if (device.os_handle == nullptr) return 0;
    active_transport().close(device);
    device.os_handle = nullptr;
    return 0;
}

int scsi_set_timeout(scsi_device& device, std::int32_t timeout_ms) {
    device.timeout_ms = timeout_ms;
    return 0;
}

int scsi_execute(scsi_request& request) {
    // Sense kept from an earlier command would be read as this command's
    // answer: a drive that was not ready a minute ago would still look so.
    scsi_device& device = *request.device;
    device.sense_length = 0;
    device.sense_key = 0;
    device.asc_ascq = 0;
    device.sense.fill(0);
    active_transport().execute(request);
    if (device.scsi_status != scsi_status_good || device.host_status != 0) return -1;
    return request.transferred;
}

bool ended_with_sense_key(const scsi_device& device, std::uint8_t key) {
    return device.host_status == 0 && device.scsi_status == scsi_status_check_condition &&
           (device.sense_key & 0x0F) == key;
}

std::size_t scsi_cdb_length(const scsi_request& request) {
    return static_cast<std::size_t>(
        std::clamp<std::int32_t>(request.cdb_length, 0, static_cast<std::int32_t>(request.cdb.size())));
}
