// The request block handed to the Windows tape driver with
// IOCTL_SCSI_PASS_THROUGH_DIRECT: the pass-through structure followed by the
// buffer the driver puts the automatic sense data in. Filling and reading it
// touch no operating-system call, so they are templates over the structure:
// the Windows transport gives them the SDK's SCSI_PASS_THROUGH_DIRECT, other
// hosts (and the tests) the layout mirror below, which the Windows build
// checks field by field against the SDK's.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "scsi/scsi_device.h"
#include "scsi/transport.h"

// The published SCSI_PASS_THROUGH_DIRECT, field for field: 44 bytes when
// pointers have 4 bytes, 56 when they have 8 (DataBuffer is then 8-aligned).
struct pass_through_direct_layout {
    std::uint16_t Length;
    std::uint8_t ScsiStatus;
    std::uint8_t PathId;
    std::uint8_t TargetId;
    std::uint8_t Lun;
    std::uint8_t CdbLength;
    std::uint8_t SenseInfoLength;
    std::uint8_t DataIn;
    std::uint32_t DataTransferLength;
    std::uint32_t TimeOutValue;
    void* DataBuffer;
    std::uint32_t SenseInfoOffset;
    std::uint8_t Cdb[16];
};

// Values of SCSI_IOCTL_DATA_OUT, SCSI_IOCTL_DATA_IN and
// SCSI_IOCTL_DATA_UNSPECIFIED.
constexpr std::uint8_t pass_through_data_out = 0;
constexpr std::uint8_t pass_through_data_in = 1;
constexpr std::uint8_t pass_through_data_unspecified = 2;

constexpr std::size_t pass_through_sense_size = 64;

// The sense buffer starts on an 8-byte boundary: right after the structure in
// a 64-bit build (56), after 4 bytes of filler in a 32-bit one (48, making the
// 112-byte block of the 32-bit driver interface).
template <typename Direct>
struct pass_through_block {
    Direct header;
    alignas(8) std::array<std::uint8_t, pass_through_sense_size> sense;
};

// Whole seconds, truncated; the driver takes no finer unit, and anything below
// one second (negative values included) becomes 0.
std::uint32_t pass_through_timeout_seconds(std::int32_t timeout_ms);
// Bytes asked of the driver: a request without a buffer moves nothing, and a
// single byte is always asked for as two, so a caller's buffer for a one-byte
// request must hold two.
std::uint32_t pass_through_transfer_length(const scsi_request& request);
std::uint8_t pass_through_data_direction(std::int32_t direction);
// Host status for a failed DeviceIoControl, from its GetLastError code:
// ERROR_NOT_READY (21) gives 9, ERROR_IO_DEVICE (1117) gives 1, others FFh.
std::uint8_t pass_through_host_status(std::uint32_t error_code);
// What a failed CreateFileA on a tape device means, from its GetLastError
// code: ERROR_ACCESS_DENIED (5) says the device is there but this process
// lacks the rights to open it (transport_open_denied); ERROR_SHARING_VIOLATION
// (32) and ERROR_BUSY (170) say it is there but held (transport_open_held);
// anything else is taken as no device at that number (transport_open_absent).
int pass_through_open_failure(std::uint32_t error_code);

// Zeroes the block and fills it for one request on its device.
template <typename Direct>
void fill_pass_through_block(pass_through_block<Direct>& block, const scsi_request& request) {
    std::memset(&block, 0, sizeof block);
    const scsi_device& device = *request.device;
    const std::size_t cdb_length = scsi_cdb_length(request);
    Direct& header = block.header;
    header.Length = static_cast<decltype(header.Length)>(sizeof(Direct));
    header.PathId = static_cast<std::uint8_t>(device.card & 0xFF);
    header.TargetId = static_cast<std::uint8_t>(device.address & 0xFF);
    header.Lun = static_cast<std::uint8_t>(device.lun & 0xFF);
    header.CdbLength = static_cast<std::uint8_t>(cdb_length);
    header.SenseInfoLength = static_cast<std::uint8_t>(pass_through_sense_size);
    header.DataIn = pass_through_data_direction(request.direction);
    header.DataTransferLength = pass_through_transfer_length(request);
    header.TimeOutValue = pass_through_timeout_seconds(device.timeout_ms);
    header.DataBuffer = request.data;
    header.SenseInfoOffset =
        static_cast<decltype(header.SenseInfoOffset)>(offsetof(pass_through_block<Direct>, sense));
    std::memcpy(header.Cdb, request.cdb.data(), cdb_length);
}

// Records what the driver returned in a block after a successful call.
template <typename Direct>
void read_pass_through_block(const pass_through_block<Direct>& block, scsi_request& request) {
    const Direct& header = block.header;
    store_scsi_outcome(request, header.ScsiStatus, static_cast<std::int32_t>(header.DataTransferLength),
                       block.sense.data(), header.SenseInfoLength);
}
