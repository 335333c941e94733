#include "scsi/sense.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "scsi/transport.h"

namespace {

// A device as a transport leaves it after one command.
scsi_device after_command(int status, std::uint8_t host, const std::vector<std::uint8_t>& sense, int moved = 0) {
    scsi_device device{};
    device.address = 3;
    scsi_request request{};
    request.device = &device;
    if (host != 0) {
        store_host_failure(request, host);
    } else {
        store_scsi_outcome(request, static_cast<std::uint8_t>(status), moved, sense.data(), sense.size());
    }
    return device;
}

TEST(Sense, FailedCommandsAreDescribedInTheDrivesTerms) {
    struct row {
        const char* why;
        int status;
        std::uint8_t host;
        std::vector<std::uint8_t> sense;
        int moved;
        const char* expected;
    };
    const std::string prefix = "SCSI WRITE BUFFER on device 3: ";
    const row rows[] = {
        {"fixed sense, a named pair", 2, 0, {0x70, 0, 0x05, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x26, 0x00}, 0,
         "CHECK CONDITION, ILLEGAL REQUEST, INVALID FIELD IN PARAMETER LIST (26h/00h)"},
        {"fixed sense, flags beside the key", 2, 0, {0xF0, 0, 0x86, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x29, 0x07}, 0,
         "CHECK CONDITION, UNIT ATTENTION, POWER ON, RESET, OR BUS DEVICE RESET OCCURRED (29h/07h)"},
        {"descriptor sense", 2, 0, {0x72, 0x02, 0x04, 0x01, 0, 0, 0, 0}, 0,
         "CHECK CONDITION, NOT READY, LOGICAL UNIT IS IN PROCESS OF BECOMING READY (04h/01h)"},
        {"deferred error", 2, 0, {0x71, 0, 0x04, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x44, 0x00}, 0,
         "CHECK CONDITION, HARDWARE ERROR (DEFERRED), INTERNAL TARGET FAILURE (44h/00h)"},
        {"a pair not listed", 2, 0, {0x70, 0, 0x0B, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x80, 0x21}, 0,
         "CHECK CONDITION, ABORTED COMMAND, 80h/21h"},
        {"sense cut before the ASC", 2, 0, {0x70, 0, 0x05, 0, 0, 0, 0, 10}, 0, "CHECK CONDITION, ILLEGAL REQUEST"},
        {"fixed sense declared to end before the ASCQ", 2, 0, {0x70, 0, 0x06, 0, 0, 0, 0, 5, 0, 0, 0, 0, 0x29, 0x07}, 0,
         "CHECK CONDITION, UNIT ATTENTION, POWER ON, RESET, OR BUS DEVICE RESET OCCURRED (29h/00h)"},
        {"sense cut before the key", 2, 0, {0x70, 0}, 0, "CHECK CONDITION, no sense data"},
        {"no sense at all", 2, 0, {}, 0, "CHECK CONDITION, no sense data"},
        {"not sense data", 2, 0, {0x00, 0, 0x05, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x26, 0x00}, 0,
         "CHECK CONDITION, no sense data"},
        {"busy", 8, 0, {}, 0, "BUSY"},
        {"reservation conflict", 0x18, 0, {}, 0, "RESERVATION CONFLICT"},
        {"a status without a name", 0x22, 0, {}, 0, "status 22h"},
        {"short transfer", 0, 0, {}, 20, "GOOD, 20 bytes moved"},
        {"host I/O error", 0, 1, {}, 0, "host error 01h (I/O error)"},
        {"host not ready", 0, 9, {}, 0, "host error 09h (device not ready)"},
        {"pass-through failed", 0, 0xFF, {}, 0, "host error FFh (the pass-through call failed)"},
    };
    for (const row& r : rows) {
        EXPECT_EQ(describe_scsi_outcome("WRITE BUFFER", after_command(r.status, r.host, r.sense, r.moved)),
                  prefix + r.expected)
            << r.why;
    }
}

TEST(Sense, DescriptorSenseCarriesTheTapeFlagsInItsStreamDescriptor) {
    // Header, then an information descriptor (type 0, 10 bytes) before the
    // stream commands descriptor (type 4) with end-of-medium and ILI set; the
    // last descriptor claims more bytes than the drive returned.
    const std::vector<std::uint8_t> sense = {0x72, 0x03, 0x00, 0x02, 0, 0, 0, 20,  // header
                                             0x00, 0x0A, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 1,
                                             0x04, 0x02, 0x00, 0x60, 0x09, 0x30};
    const sense_fields fields = parse_sense(sense.data(), sense.size());
    EXPECT_EQ(fields.key, 0x03);
    EXPECT_EQ(fields.asc, 0x00);
    EXPECT_EQ(fields.ascq, 0x02);
    EXPECT_FALSE(fields.filemark);
    EXPECT_TRUE(fields.end_of_medium);
    EXPECT_TRUE(fields.incorrect_length);
    // The device keeps the key with its flags, as fixed sense would give it.
    EXPECT_EQ(after_command(2, 0, sense).sense_key, 0x63);

    // A stream descriptor the reply does not reach whole is not read.
    const std::vector<std::uint8_t> cut(sense.begin(), sense.begin() + 22);
    EXPECT_FALSE(parse_sense(cut.data(), cut.size()).end_of_medium);
}

}  // namespace
