#include "scsi/scsi_commands.h"

#include <algorithm>
#include <initializer_list>

namespace {

constexpr int max_short_allocation = 255;  // one CDB byte
constexpr int max_24_bit = 0xFFFFFF;
constexpr int max_16_bit = 0xFFFF;

std::uint8_t low_byte(int value) { return static_cast<std::uint8_t>(value & 0xFF); }

// Every command goes out through here: `head` is the CDB without its last
// byte, which is always the control byte of the device.
int send_command(scsi_device& device, std::initializer_list<std::uint8_t> head, void* data, int data_length,
                 scsi_direction direction) {
    scsi_request request{};
    request.device = &device;
    std::copy(head.begin(), head.end(), request.cdb.begin());
    request.cdb[head.size()] = low_byte(device.control);
    request.cdb_length = static_cast<std::int32_t>(head.size() + 1);
    request.data = data;
    request.data_length = data_length;
    request.direction = direction;
    return scsi_execute(request);
}

// Signed on purpose: the callers never pass negative values, and a larger
// value must not wrap into a small one.
int limit_to(int value, int limit) { return value > limit ? limit : value; }

// WRITE BUFFER and READ BUFFER share their layout; only the operation code
// and the direction of the data differ.
int send_buffer_command(scsi_device& device, std::uint8_t operation, void* data, int buffer_id, int mode, int offset,
                        int length, scsi_direction direction) {
    const int sent_offset = limit_to(offset, max_24_bit);
    const int sent_length = limit_to(length, max_24_bit);
    return send_command(device,
                        {operation, low_byte(mode & 0x1F), low_byte(buffer_id), low_byte(sent_offset >> 16),
                         low_byte(sent_offset >> 8), low_byte(sent_offset), low_byte(sent_length >> 16),
                         low_byte(sent_length >> 8), low_byte(sent_length)},
                        data, sent_length, direction);
}

}  // namespace

int scsi_test_unit_ready(scsi_device& device) {
    return send_command(device, {0x00, 0, 0, 0, 0}, nullptr, 0, scsi_no_data);
}

int scsi_inquiry(scsi_device& device, int evpd, int page_code, void* buffer, int length) {
    const int n = limit_to(length, max_short_allocation);
    return send_command(device, {0x12, low_byte(evpd & 1), low_byte(page_code), 0, low_byte(n)}, buffer, n,
                        scsi_data_in);
}

int scsi_request_sense(scsi_device& device, void* buffer, int length) {
    const int n = limit_to(length, max_short_allocation);
    return send_command(device, {0x03, 0, 0, 0, low_byte(n)}, buffer, n, scsi_data_in);
}

int scsi_reserve_unit(scsi_device& device, int proxy_id) {
    // A third-party reservation sets the 3RDPTY bit (4) with the initiator
    // id in bits 3-1; 255 means the unit is reserved for ourselves.
    const std::uint8_t b1 = proxy_id == 255 ? 0 : low_byte(((proxy_id & 7) | 8) << 1);
    return send_command(device, {0x16, b1, 0, 0, 0}, nullptr, 0, scsi_no_data);
}

int scsi_write_buffer(scsi_device& device, void* data, int buffer_id, int mode, int offset, int length) {
    return send_buffer_command(device, 0x3B, data, buffer_id, mode, offset, length, scsi_data_out);
}

int scsi_read_buffer(scsi_device& device, void* data, int buffer_id, int mode, int offset, int length) {
    return send_buffer_command(device, 0x3C, data, buffer_id, mode, offset, length, scsi_data_in);
}

int scsi_report_density_support(scsi_device& device, int media, int medium_type, void* buffer, int length) {
    const int n = limit_to(length, max_16_bit);
    const std::uint8_t b1 = low_byte(((medium_type & 1) << 1) + (media & 1));
    return send_command(device, {0x44, b1, 0, 0, 0, 0, 0, low_byte(n >> 8), low_byte(n)}, buffer, n, scsi_data_in);
}
