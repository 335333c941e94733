// The Linux side of the pass-through: how a tape device's commands travel as
// SG_IO requests on its SCSI generic node, and how the kernel's answer is
// recorded in the device handle. Filling and reading the request make no
// system call, so the tests check them without a drive; transport_linux.cpp
// makes the calls.
#pragma once

#include <scsi/sg.h>
#include <sys/stat.h>

#include <array>
#include <cstdint>
#include <string>

#include "scsi/scsi_device.h"

constexpr std::size_t sg_io_sense_size = 64;
using sg_io_sense = std::array<std::uint8_t, sg_io_sense_size>;

// "/dev/nstN": the non-rewinding tape device, so opening and closing it never
// moves a tape.
std::string linux_tape_path(std::uint32_t address);

// The character device major of the SCSI tape driver (st): /dev/nstN must be
// one of its nodes, or it is not the drive it claims to be.
constexpr unsigned scsi_tape_major = 9;

// The SCSI generic node of a SCSI device: its name ("sg3") and the device
// number the kernel gave it. The name is empty when there is none.
struct generic_node {
    std::string name;
    unsigned major = 0;
    unsigned minor = 0;
};

// The generic node of the SCSI device behind the character device
// major:minor, read from <sysfs_root>/dev/char/M:m/device/scsi_generic/
// <name>/dev; no name when it has none (the sg module is not loaded, or the
// node is not a SCSI device) or its device number cannot be read.
generic_node generic_node_of_char_device(const std::string& sysfs_root, unsigned major, unsigned minor);

// True when an opened node is the character device major:minor (any minor
// when `minor` is negative): a file, a FIFO, a block device or another
// driver's node standing under the expected name is not.
bool is_character_device(const struct stat& info, unsigned major, int minor);

// What an errno of a failed open of the tape device means: no device at that
// number (transport_open_absent), a device this process has not the rights
// to open (transport_open_denied: EACCES, EPERM), or a device that is there
// but cannot be had now (transport_open_held: in use, or any error that says
// nothing about its absence). A generic node that fails to open is denied or
// held, never absent: its tape device is there.
int linux_open_failure(int error);
// True when the errno says we lack the right to open the node.
bool is_permission_error(int error);

// Zeroes the header and fills it for one request: direction, length, the
// device's timeout in milliseconds, and the 64-byte sense buffer.
void fill_sg_io_header(sg_io_hdr_t& header, scsi_request& request, sg_io_sense& sense);
// Records the kernel's answer to a completed SG_IO in the device and request:
// the drive's status, moved bytes and sense whenever the drive gave a status
// other than GOOD or sense (whatever the host status beside them), a host
// byte that says RESERVATION CONFLICT as that status, and any other host or
// driver failure as a failed call.
void read_sg_io_header(const sg_io_hdr_t& header, scsi_request& request, const sg_io_sense& sense);
// Host status for an SG_IO ioctl that failed with this errno.
std::uint8_t sg_io_call_failure(int error);
