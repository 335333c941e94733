// The Linux side of the pass-through: how a tape device's commands travel as
// SG_IO requests on its SCSI generic node, and how the kernel's answer is
// recorded in the device handle. Filling and reading the request make no
// system call, so the tests check them without a drive; transport_linux.cpp
// makes the calls.
#pragma once

#include <scsi/sg.h>

#include <array>
#include <cstdint>
#include <string>

#include "scsi/scsi_device.h"

constexpr std::size_t sg_io_sense_size = 64;
using sg_io_sense = std::array<std::uint8_t, sg_io_sense_size>;

// "/dev/nstN": the non-rewinding tape device, so opening and closing it never
// moves a tape.
std::string linux_tape_path(std::uint32_t address);

// The name of the SCSI generic node ("sg3") of the SCSI device behind the
// character device major:minor, read from <sysfs_root>/dev/char/M:m/device/
// scsi_generic; empty when it has none (the sg module is not loaded, or the
// node is not a SCSI device).
std::string sg_node_of_char_device(const std::string& sysfs_root, unsigned major, unsigned minor);

// What an errno of a failed open of the tape or generic node means: no device
// at that number (transport_open_absent) or a device that is there but cannot
// be had now (transport_open_held: in use, permission denied, or any error
// that says nothing about its absence).
int linux_open_failure(int error);
// True when the errno says we lack the right to open the node.
bool is_permission_error(int error);

// Zeroes the header and fills it for one request: direction, length, the
// device's timeout in milliseconds, and the 64-byte sense buffer.
void fill_sg_io_header(sg_io_hdr_t& header, scsi_request& request, sg_io_sense& sense);
// Records the kernel's answer to a completed SG_IO in the device and request:
// a transport failure (host or driver status) as a failed call, anything else
// as the drive's status, moved bytes and sense.
void read_sg_io_header(const sg_io_hdr_t& header, scsi_request& request, const sg_io_sense& sense);
// Host status for an SG_IO ioctl that failed with this errno.
std::uint8_t sg_io_call_failure(int error);
// Host status for the kernel's host and driver status of a completed SG_IO;
// 0 when the command reached the drive and came back with a SCSI status.
std::uint8_t sg_io_transport_failure(unsigned host_status, unsigned driver_status);
