// The SCSI device handle and the one request record every command travels in.
// A handle is plain data: it is copied whole into drive records, and only its
// card, address and lun mean anything in a copy until it is opened again.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

using scsi_os_handle = void*;  // a HANDLE on Windows, a transport token elsewhere

struct scsi_device {
    scsi_os_handle os_handle;   // null while closed
    std::uint32_t card;         // adapter (path id)
    std::uint32_t address;      // device number N of "\\.\TAPE<N>"
    std::uint32_t lun;
    std::int32_t control;       // low byte ends every CDB; 0 after open
    std::int32_t timeout_ms;    // 10000 after open
    std::uint8_t scsi_status;   // 0xFF when the OS call itself failed
    std::uint8_t host_status;   // 0 ok, else one of the host failures below
    std::int32_t transferred;
    // Written only on CHECK CONDITION; other outcomes leave the last sense.
    std::uint8_t sense_length;
    std::uint8_t sense_key;     // the key, tape flags above it as in fixed sense byte 2
    std::uint16_t asc_ascq;     // ASC * 256 + ASCQ
    std::array<std::uint8_t, 64> sense;
    // Why the last open failed: a device that exists but is held by another
    // program must not be taken for an empty address.
    std::uint8_t open_failure;  // scsi_open_failure
};

enum scsi_open_failure : std::uint8_t {
    scsi_open_succeeded = 0,
    scsi_open_absent = 1,  // no device at this address
    scsi_open_held = 2,    // the device is there but refused us (in use, busy, not the node it should be)
    scsi_open_denied = 3,  // the device is there but this process lacks the rights to open it
};

enum scsi_direction : std::int32_t {
    scsi_data_out = 0,
    scsi_data_in = 1,
    scsi_no_data = 2,
};

struct scsi_request {
    scsi_device* device;
    std::array<std::uint8_t, 16> cdb;
    std::int32_t cdb_length;
    void* data;
    std::int32_t data_length;
    std::int32_t direction;
    std::int32_t transferred;   // output
};

constexpr std::uint8_t scsi_status_good = 0x00;
constexpr std::uint8_t scsi_status_check_condition = 0x02;
constexpr std::uint8_t scsi_status_busy = 0x08;
constexpr std::uint8_t scsi_status_reservation_conflict = 0x18;

// Sense keys (the low four bits of the key byte).
constexpr std::uint8_t sense_key_not_ready = 0x2;
constexpr std::uint8_t sense_key_illegal_request = 0x5;
constexpr std::uint8_t sense_key_unit_attention = 0x6;
constexpr std::uint8_t sense_key_aborted_command = 0xB;
constexpr std::int32_t scsi_default_timeout_ms = 10000;

// Host status when the operating system's call itself failed, in the words
// of the Windows pass-through that every transport maps its errors to.
constexpr std::uint8_t scsi_host_io_error = 1;     // the command broke on the path
constexpr std::uint8_t scsi_host_not_ready = 9;    // the device cannot be reached now
constexpr std::uint8_t scsi_host_failed = 0xFF;    // any other failure of the call

// 0 when open, -1 when the device cannot be opened (open_failure says why).
// Whatever the outcome, control, timeout and host status are reset afterwards.
int scsi_open(scsi_device& device);
// Always 0; a closed handle is left alone.
int scsi_close(scsi_device& device);
// Always 0.
int scsi_set_timeout(scsi_device& device, std::int32_t timeout_ms);
// True when the last command ended in CHECK CONDITION with this sense key
// (flags in the key byte aside).
bool ended_with_sense_key(const scsi_device& device, std::uint8_t key);
// Bytes moved when both SCSI and host status are 0, otherwise -1. The sense
// fields are cleared first, so after the call they describe this command
// only: empty unless it ended in CHECK CONDITION.
int scsi_execute(scsi_request& request);
// How many CDB bytes the request carries: its cdb_length, kept within the
// 16-byte block whatever a caller put there.
std::size_t scsi_cdb_length(const scsi_request& request);
