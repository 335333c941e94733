#include "scsi/sg_io_linux.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "scsi/transport.h"

namespace {

// The kernel's host byte values (DID_*), which <scsi/sg.h> does not define.
constexpr unsigned did_ok = 0x00;
constexpr unsigned did_no_connect = 0x01;
constexpr unsigned did_bus_busy = 0x02;
constexpr unsigned did_time_out = 0x03;
constexpr unsigned did_bad_target = 0x04;
constexpr unsigned did_abort = 0x05;
constexpr unsigned did_parity = 0x06;
constexpr unsigned did_error = 0x07;
constexpr unsigned did_reset = 0x08;
constexpr unsigned did_soft_error = 0x0B;
constexpr unsigned did_transport_disrupted = 0x0E;
constexpr unsigned did_transport_failfast = 0x0F;
// Driver byte: only "sense data is valid" says nothing went wrong.
constexpr unsigned driver_sense = 0x08;


}  // namespace

std::string linux_tape_path(std::uint32_t address) { return "/dev/nst" + std::to_string(address); }

std::string sg_node_of_char_device(const std::string& sysfs_root, unsigned major, unsigned minor) {
    char folder[128];
    std::snprintf(folder, sizeof folder, "/dev/char/%u:%u/device/scsi_generic", major, minor);
    for (const std::string& name : list_directory(sysfs_root + folder)) {
        if (name.rfind("sg", 0) == 0) return name;
    }
    return "";
}

int linux_open_failure(int error) {
    switch (error) {
    case ENOENT:
    case ENXIO:
    case ENODEV:
    case ENOTDIR: return transport_open_absent;
    default: return transport_open_held;
    }
}

bool is_permission_error(int error) { return error == EACCES || error == EPERM || error == EROFS; }

void fill_sg_io_header(sg_io_hdr_t& header, scsi_request& request, sg_io_sense& sense) {
    std::memset(&header, 0, sizeof header);
    sense.fill(0);
    const bool has_data = request.data != nullptr && request.data_length > 0;
    header.interface_id = 'S';
    header.dxfer_direction = !has_data                              ? SG_DXFER_NONE
                             : request.direction == scsi_data_in  ? SG_DXFER_FROM_DEV
                             : request.direction == scsi_data_out ? SG_DXFER_TO_DEV
                                                                  : SG_DXFER_NONE;
    if (header.dxfer_direction != SG_DXFER_NONE) {
        header.dxfer_len = static_cast<unsigned>(request.data_length);
        header.dxferp = request.data;
    }
    header.cmd_len = static_cast<unsigned char>(scsi_cdb_length(request));
    header.cmdp = request.cdb.data();
    header.mx_sb_len = static_cast<unsigned char>(sense.size());
    header.sbp = sense.data();
    // SG_IO counts in milliseconds; 0 would mean the kernel's own default.
    header.timeout = request.device->timeout_ms > 0 ? static_cast<unsigned>(request.device->timeout_ms) : 1;
}

std::uint8_t sg_io_call_failure(int error) { return error == EIO ? scsi_host_io_error : scsi_host_failed; }

std::uint8_t sg_io_transport_failure(unsigned host_status, unsigned driver_status) {
    switch (host_status) {
    case did_ok: break;
    // The drive could not be reached now: as Windows' "device not ready".
    case did_no_connect:
    case did_bus_busy:
    case did_bad_target:
    case did_transport_disrupted:
    case did_transport_failfast: return scsi_host_not_ready;
    // The command reached the path and broke on it: a device I/O error.
    case did_abort:
    case did_parity:
    case did_error:
    case did_reset:
    case did_soft_error: return scsi_host_io_error;
    case did_time_out:
    default: return scsi_host_failed;
    }
    const unsigned driver = driver_status & 0x0F;
    return driver == 0 || driver == driver_sense ? 0 : scsi_host_failed;
}

void read_sg_io_header(const sg_io_hdr_t& header, scsi_request& request, const sg_io_sense& sense) {
    const std::uint8_t failure = sg_io_transport_failure(header.host_status, header.driver_status);
    if (failure != 0) {
        store_host_failure(request, failure);
        return;
    }
    std::int32_t moved = 0;
    if (header.dxfer_direction != SG_DXFER_NONE) {
        moved = static_cast<std::int32_t>(header.dxfer_len) - header.resid;
        moved = std::max<std::int32_t>(0, std::min<std::int32_t>(moved, static_cast<std::int32_t>(header.dxfer_len)));
    }
    store_scsi_outcome(request, header.status, moved, sense.data(), std::min<std::size_t>(header.sb_len_wr, sense.size()));
}
