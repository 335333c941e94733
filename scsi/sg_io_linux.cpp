#include "scsi/sg_io_linux.h"

#include <sys/sysmacros.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "platform/whole_file.h"
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
constexpr unsigned did_target_failure = 0x10;
constexpr unsigned did_nexus_failure = 0x11;
constexpr unsigned did_medium_error = 0x13;
// Driver byte: only "sense data is valid" says nothing went wrong.
constexpr unsigned driver_sense = 0x08;

// Host status for the kernel's host and driver status of a completed SG_IO
// that brought back neither a SCSI status nor sense; 0 when nothing failed.
std::uint8_t transport_failure(unsigned host_status, unsigned driver_status) {
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
    case did_soft_error:
    case did_target_failure:
    case did_medium_error: return scsi_host_io_error;
    case did_time_out:
    default: return scsi_host_failed;
    }
    const unsigned driver = driver_status & 0x0F;
    return driver == 0 || driver == driver_sense ? 0 : scsi_host_failed;
}

std::int32_t bytes_moved(const sg_io_hdr_t& header) {
    if (header.dxfer_direction == SG_DXFER_NONE) return 0;
    const std::int32_t moved = static_cast<std::int32_t>(header.dxfer_len) - header.resid;
    return std::max<std::int32_t>(0, std::min<std::int32_t>(moved, static_cast<std::int32_t>(header.dxfer_len)));
}


}  // namespace

std::string linux_tape_path(std::uint32_t address) { return "/dev/nst" + std::to_string(address); }

generic_node generic_node_of_char_device(const std::string& sysfs_root, unsigned major, unsigned minor) {
    char folder[128];
    std::snprintf(folder, sizeof folder, "/dev/char/%u:%u/device/scsi_generic", major, minor);
    generic_node node;
    for (const std::string& name : list_directory(sysfs_root + folder)) {
        if (name.rfind("sg", 0) != 0) continue;
        std::string number;
        if (!read_whole_file(sysfs_root + folder + "/" + name + "/dev", 32, number) ||
            std::sscanf(number.c_str(), "%u:%u", &node.major, &node.minor) != 2) {
            return {};
        }
        node.name = name;
        return node;
    }
    return node;
}

bool is_character_device(const struct stat& info, unsigned major, int minor) {
    return S_ISCHR(info.st_mode) && ::major(info.st_rdev) == major &&
           (minor < 0 || ::minor(info.st_rdev) == static_cast<unsigned>(minor));
}

int linux_open_failure(int error) {
    switch (error) {
    case ENOENT:
    case ENXIO:
    case ENODEV:
    case ENOTDIR: return transport_open_absent;
    case EACCES:
    case EPERM: return transport_open_denied;
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

void read_sg_io_header(const sg_io_hdr_t& header, scsi_request& request, const sg_io_sense& sense) {
    // The drive's own answer comes first. Kernels before the SCSI status
    // rework of 5.14 also set a host byte beside it: DID_NEXUS_FAILURE with
    // RESERVATION CONFLICT, DID_TARGET_FAILURE or DID_MEDIUM_ERROR with some
    // CHECK CONDITIONs. Taking those for a failed call would hide another
    // host's reservation, or a refusal the caller knows how to read.
    const std::uint8_t status = header.status & 0x7E;
    const std::size_t sense_length = std::min<std::size_t>(header.sb_len_wr, sense.size());
    if (status != scsi_status_good || sense_length > 0) {
        // Sense comes only with a CHECK CONDITION, even where the status byte was lost.
        store_scsi_outcome(request, status != scsi_status_good ? status : scsi_status_check_condition,
                           bytes_moved(header), sense.data(), sense_length);
        return;
    }
    // The same kernels may report a reservation conflict by the host byte alone.
    if (header.host_status == did_nexus_failure) {
        store_scsi_outcome(request, scsi_status_reservation_conflict, 0, nullptr, 0);
        return;
    }
    if (const std::uint8_t failure = transport_failure(header.host_status, header.driver_status)) {
        store_host_failure(request, failure);
        return;
    }
    store_scsi_outcome(request, scsi_status_good, bytes_moved(header), nullptr, 0);
}
