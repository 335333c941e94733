// The one small interface between the SCSI library and whatever reaches the
// drives: the Windows pass-through, or the simulated bus. Chosen once per
// process, before the first device is opened.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "scsi/scsi_device.h"

constexpr int transport_open_absent = -1;
constexpr int transport_open_held = -2;
constexpr int transport_open_denied = -3;

class scsi_transport {
public:
    virtual ~scsi_transport() = default;
    // Opens the device named by card/address/lun and sets os_handle.
    // Returns 0 on success, transport_open_absent when no device answers to
    // that address, transport_open_denied when one does but the system
    // refuses this process the rights to open it (no root, no raw I/O
    // capability), transport_open_held when one does but cannot be opened
    // for any other reason (another program holds it); os_handle is then
    // untouched.
    virtual int open(scsi_device& device) = 0;
    // Closes an open device; scsi_close clears os_handle afterwards.
    virtual void close(scsi_device& device) = 0;
    // Runs one request and fills scsi_status, host_status, transferred (in
    // the device and the request) and, on CHECK CONDITION only, the sense.
    virtual void execute(scsi_request& request) = 0;
};

// The transport every scsi_* call goes through: the installed one, or the
// platform's own when none was installed.
scsi_transport& active_transport();
// Installs a transport for the rest of the process (nullptr: the platform's).
// The caller keeps ownership and keeps it alive.
void install_transport(scsi_transport* transport);
// The operating system's transport: the pass-through on Windows; elsewhere a
// transport on which every open fails (no tape devices on this host).
scsi_transport& platform_transport();
// The operating system's name for tape device N, as an administrator finds
// it on the host: "/dev/nstN" on Linux, "\\.\TAPEN" on Windows.
std::string tape_device_name(std::uint32_t address);

// Shared by the transports: records the outcome of a request that reached the
// drive, and the sense data when the status is CHECK CONDITION, with its key
// and ASC/ASCQ as parse_sense reads them.
void store_scsi_outcome(scsi_request& request, std::uint8_t scsi_status, std::int32_t transferred,
                        const std::uint8_t* sense, std::size_t sense_length);
// Records a failure of the operating-system call itself (host status 1, 9 or
// 0xFF); the sense fields keep their values.
void store_host_failure(scsi_request& request, std::uint8_t host_status);
