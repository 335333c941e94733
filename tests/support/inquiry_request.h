// A request as the command builders leave it, for the tests of the OS
// transports' request blocks: INQUIRY of page C0h into a 64-byte buffer, with
// a seventh CDB byte set that lies past the 6-byte CDB and must never be sent.
#pragma once

#include <array>
#include <cstdint>

#include "scsi/scsi_device.h"

namespace test_support {

struct inquiry_request {
    scsi_device device{};
    std::array<std::uint8_t, 64> data{};
    scsi_request request{};

    explicit inquiry_request(std::int32_t length = 36, std::int32_t timeout_ms = scsi_default_timeout_ms) {
        device.timeout_ms = timeout_ms;
        request.device = &device;
        request.cdb = {0x12, 0x01, 0xC0, 0x00, static_cast<std::uint8_t>(length), 0x00, 0x77};
        request.cdb_length = 6;
        request.data = data.data();
        request.data_length = length;
        request.direction = scsi_data_in;
    }
};

}  // namespace test_support
