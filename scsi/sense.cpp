#include "scsi/sense.h"

#include <algorithm>
#include <cstdio>

namespace {

constexpr std::uint8_t fixed_current = 0x70, fixed_deferred = 0x71;
constexpr std::uint8_t descriptor_current = 0x72, descriptor_deferred = 0x73;
// The stream commands descriptor carries the tape flags in descriptor format.
constexpr std::uint8_t stream_commands_descriptor = 0x04;

struct pair_name {
    std::uint8_t asc;
    int ascq;  // -1: any qualifier of the family
    const char* name;
};

// The pairs a tape drive answers with while it is probed, identified or sent
// firmware. A family (29h, 5Dh) has one name for the qualifiers not listed.
constexpr pair_name pair_names[] = {
    {0x00, 0x00, "NO ADDITIONAL SENSE INFORMATION"},
    {0x04, 0x00, "LOGICAL UNIT NOT READY, CAUSE NOT REPORTABLE"},
    {0x04, 0x01, "LOGICAL UNIT IS IN PROCESS OF BECOMING READY"},
    {0x04, 0x02, "LOGICAL UNIT NOT READY, INITIALIZING COMMAND REQUIRED"},
    {0x04, 0x03, "LOGICAL UNIT NOT READY, MANUAL INTERVENTION REQUIRED"},
    {0x1A, 0x00, "PARAMETER LIST LENGTH ERROR"},
    {0x20, 0x00, "INVALID COMMAND OPERATION CODE"},
    {0x24, 0x00, "INVALID FIELD IN CDB"},
    {0x25, 0x00, "LOGICAL UNIT NOT SUPPORTED"},
    {0x26, 0x00, "INVALID FIELD IN PARAMETER LIST"},
    {0x28, 0x00, "NOT READY TO READY CHANGE, MEDIUM MAY HAVE CHANGED"},
    {0x29, 0x00, "POWER ON, RESET, OR BUS DEVICE RESET OCCURRED"},
    {0x29, 0x01, "POWER ON OCCURRED"},
    {0x29, 0x02, "SCSI BUS RESET OCCURRED"},
    {0x29, 0x03, "BUS DEVICE RESET FUNCTION OCCURRED"},
    {0x29, 0x04, "DEVICE INTERNAL RESET"},
    {0x29, -1, "POWER ON, RESET, OR BUS DEVICE RESET OCCURRED"},
    {0x2A, 0x01, "MODE PARAMETERS CHANGED"},
    {0x2C, 0x00, "COMMAND SEQUENCE ERROR"},
    {0x3A, 0x00, "MEDIUM NOT PRESENT"},
    {0x3F, 0x01, "MICROCODE HAS BEEN CHANGED"},
    {0x3F, 0x03, "INQUIRY DATA HAS CHANGED"},
    {0x3F, 0x0E, "REPORTED LUNS DATA HAS CHANGED"},
    {0x44, 0x00, "INTERNAL TARGET FAILURE"},
    {0x5D, 0x00, "FAILURE PREDICTION THRESHOLD EXCEEDED"},
    {0x5D, 0xFF, "FAILURE PREDICTION THRESHOLD EXCEEDED (FALSE)"},
    {0x5D, -1, "FAILURE PREDICTION THRESHOLD EXCEEDED"},
};

constexpr const char* key_names[16] = {
    "NO SENSE",        "RECOVERED ERROR", "NOT READY",      "MEDIUM ERROR",
    "HARDWARE ERROR",  "ILLEGAL REQUEST", "UNIT ATTENTION", "DATA PROTECT",
    "BLANK CHECK",     "VENDOR SPECIFIC", "COPY ABORTED",   "ABORTED COMMAND",
    "RESERVED (0CH)",  "VOLUME OVERFLOW", "MISCOMPARE",     "COMPLETED",
};

void take_stream_flags(sense_fields& fields, std::uint8_t flags) {
    fields.filemark = (flags & 0x80) != 0;
    fields.end_of_medium = (flags & 0x40) != 0;
    fields.incorrect_length = (flags & 0x20) != 0;
}

// Descriptors follow the 8-byte header, each a type, an additional length
// and that many bytes; the walk stays inside what the drive returned.
void find_stream_flags(const std::uint8_t* bytes, std::size_t length, sense_fields& fields) {
    const std::size_t end = std::min<std::size_t>(length, 8 + std::size_t{length > 7 ? bytes[7] : 0u});
    for (std::size_t at = 8; at + 1 < end; at += 2 + std::size_t{bytes[at + 1]}) {
        if (bytes[at] == stream_commands_descriptor && at + 3 < end) take_stream_flags(fields, bytes[at + 3]);
    }
}

// Formats a host failure: the pass-through call failed, so the drive's
// status means nothing.
std::string host_failure_words(std::uint8_t host_status) {
    const char* meaning = host_status == scsi_host_io_error    ? "I/O error"
                          : host_status == scsi_host_not_ready ? "device not ready"
                                                               : "the pass-through call failed";
    char text[80];
    std::snprintf(text, sizeof text, "host error %02Xh (%s)", static_cast<unsigned>(host_status), meaning);
    return text;
}

}  // namespace

sense_fields parse_sense(const std::uint8_t* bytes, std::size_t length) {
    sense_fields fields{};
    if (bytes == nullptr || length == 0) return fields;
    fields.response_code = bytes[0] & 0x7F;
    const std::uint8_t code = fields.response_code;
    fields.deferred = code == fixed_deferred || code == descriptor_deferred;
    if (code == fixed_current || code == fixed_deferred) {
        // Fixed sense ends where its additional length (byte 7) says: a drive
        // may leave stale bytes after it in the buffer.
        if (length > 7) length = std::min<std::size_t>(length, 8 + std::size_t{bytes[7]});
        fields.has_key = length > 2;
        if (fields.has_key) {
            fields.key = bytes[2] & 0x0F;
            take_stream_flags(fields, bytes[2]);
        }
        fields.has_asc = length > 12;
        if (fields.has_asc) fields.asc = bytes[12];
        if (length > 13) fields.ascq = bytes[13];
    } else if (code == descriptor_current || code == descriptor_deferred) {
        fields.has_key = length > 1;
        if (fields.has_key) fields.key = bytes[1] & 0x0F;
        fields.has_asc = length > 2;
        if (fields.has_asc) fields.asc = bytes[2];
        if (length > 3) fields.ascq = bytes[3];
        find_stream_flags(bytes, length, fields);
    }
    return fields;
}

const char* sense_key_name(std::uint8_t key) { return key_names[key & 0x0F]; }

const char* asc_ascq_name(std::uint8_t asc, std::uint8_t ascq) {
    for (const pair_name& pair : pair_names) {
        if (pair.asc == asc && (pair.ascq == ascq || pair.ascq < 0)) return pair.name;
    }
    return nullptr;
}

const char* scsi_status_name(std::uint8_t status) {
    switch (status) {
        case 0x00: return "GOOD";
        case 0x02: return "CHECK CONDITION";
        case 0x04: return "CONDITION MET";
        case 0x08: return "BUSY";
        case 0x18: return "RESERVATION CONFLICT";
        case 0x28: return "TASK SET FULL";
        case 0x30: return "ACA ACTIVE";
        case 0x40: return "TASK ABORTED";
        default: return nullptr;
    }
}

std::string describe_scsi_outcome(const char* command, const scsi_device& device) {
    std::string line = std::string("SCSI ") + command + " on device " + std::to_string(device.address) + ": ";
    char hex[32];
    if (device.host_status != 0) return line + host_failure_words(device.host_status);

    if (const char* status = scsi_status_name(device.scsi_status)) {
        line += status;
    } else {
        std::snprintf(hex, sizeof hex, "status %02Xh", static_cast<unsigned>(device.scsi_status));
        line += hex;
    }
    if (device.scsi_status == scsi_status_good) {
        // A command that ended well but moved less than it was given.
        return line + ", " + std::to_string(device.transferred) + " bytes moved";
    }
    if (device.scsi_status != scsi_status_check_condition) return line;

    const sense_fields sense = parse_sense(device.sense.data(), device.sense_length);
    if (!sense.has_key) return line + ", no sense data";
    line += ", ";
    line += sense_key_name(sense.key);
    if (sense.deferred) line += " (DEFERRED)";
    if (!sense.has_asc) return line;
    std::snprintf(hex, sizeof hex, "%02Xh/%02Xh", static_cast<unsigned>(sense.asc), static_cast<unsigned>(sense.ascq));
    if (const char* words = asc_ascq_name(sense.asc, sense.ascq)) return line + ", " + words + " (" + hex + ")";
    return line + ", " + hex;
}
