// Sense data as a drive returns it after CHECK CONDITION, decoded once for the
// whole program: the device handle's key and ASC/ASCQ, and the words a person
// reads in the setup log when a command on a real drive failed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "scsi/scsi_device.h"

struct sense_fields {
    std::uint8_t response_code;  // 70h/71h fixed, 72h/73h descriptor, else not sense data we read
    bool has_key;                // the reply reached the key
    bool has_asc;                // ... and the ASC (an ASCQ it did not reach reads 0)
    std::uint8_t key;            // low four bits
    std::uint8_t asc;
    std::uint8_t ascq;
    bool filemark;               // stream flags: fixed byte 2, or the stream commands descriptor
    bool end_of_medium;
    bool incorrect_length;
    bool deferred;               // 71h/73h: the error belongs to an earlier command
};

// Only the `length` bytes the drive returned are looked at, and of fixed
// sense only the 8 plus additional length (byte 7) it declares; a field they
// do not reach is absent, never zero taken for an answer.
sense_fields parse_sense(const std::uint8_t* bytes, std::size_t length);

// "ILLEGAL REQUEST" and the like; every key 0 to Fh has a name.
const char* sense_key_name(std::uint8_t key);
// The words of a standard ASC/ASCQ pair a tape drive gives while it is
// identified or takes a download, or nullptr for a pair not listed here.
const char* asc_ascq_name(std::uint8_t asc, std::uint8_t ascq);
// "GOOD", "CHECK CONDITION", "BUSY", "RESERVATION CONFLICT", ... or nullptr.
const char* scsi_status_name(std::uint8_t status);

// How the last command on the device ended, in one line without a line end:
// "SCSI WRITE BUFFER on device 3: CHECK CONDITION, ILLEGAL REQUEST, INVALID
// FIELD IN PARAMETER LIST (26h/00h)", "SCSI INQUIRY on device 2: BUSY", or
// the host error when the operating system's call itself failed.
std::string describe_scsi_outcome(const char* command, const scsi_device& device);
