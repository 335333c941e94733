#include "scsi/passthrough_block.h"

static_assert(sizeof(void*) != 4 ||
                  (sizeof(pass_through_direct_layout) == 44 &&
                   offsetof(pass_through_block<pass_through_direct_layout>, sense) == 48 &&
                   sizeof(pass_through_block<pass_through_direct_layout>) == 112),
              "32-bit pass-through block: 44-byte structure, sense at 48, 112 bytes in all");
static_assert(sizeof(void*) != 8 ||
                  (sizeof(pass_through_direct_layout) == 56 &&
                   offsetof(pass_through_block<pass_through_direct_layout>, sense) == 56),
              "64-bit pass-through block: 56-byte structure, sense right after it");

std::uint32_t pass_through_timeout_seconds(std::int32_t timeout_ms) {
    return timeout_ms < 1000 ? 0 : static_cast<std::uint32_t>(timeout_ms / 1000);
}

std::uint32_t pass_through_transfer_length(const scsi_request& request) {
    if (request.data == nullptr || request.data_length <= 0) return 0;
    if (request.data_length == 1) return 2;
    return static_cast<std::uint32_t>(request.data_length);
}

std::uint8_t pass_through_data_direction(std::int32_t direction) {
    switch (direction) {
    case scsi_data_in: return pass_through_data_in;
    case scsi_data_out: return pass_through_data_out;
    default: return pass_through_data_unspecified;
    }
}

std::uint8_t pass_through_host_status(std::uint32_t error_code) {
    constexpr std::uint32_t error_not_ready = 21;
    constexpr std::uint32_t error_io_device = 1117;
    switch (error_code) {
    case error_not_ready: return scsi_host_not_ready;
    case error_io_device: return scsi_host_io_error;
    default: return scsi_host_failed;
    }
}

int pass_through_open_failure(std::uint32_t error_code) {
    constexpr std::uint32_t error_access_denied = 5;
    constexpr std::uint32_t error_sharing_violation = 32;
    constexpr std::uint32_t error_busy = 170;
    switch (error_code) {
    case error_access_denied: return transport_open_denied;
    case error_sharing_violation:
    case error_busy: return transport_open_held;
    default: return transport_open_absent;
    }
}
