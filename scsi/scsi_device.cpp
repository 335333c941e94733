#include "scsi/scsi_device.h"

#include "scsi/transport.h"

int scsi_open(scsi_device& device) {
    const int result = active_transport().open(device) == 0 ? 0 : -1;
    device.control = 0;
    device.timeout_ms = scsi_default_timeout_ms;
    device.host_status = 0;
    return result;
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
    active_transport().execute(request);
    const scsi_device& device = *request.device;
    if (device.scsi_status != scsi_status_good || device.host_status != 0) return -1;
    return request.transferred;
}
