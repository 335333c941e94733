#include "scsi/scsi_probes.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>

#include "platform/clock.h"
#include "scsi/scsi_commands.h"
#include "scsi/settle_retry.h"

namespace {

// The first density descriptor follows a 4-byte header; its assigning
// organization starts at descriptor byte 16.
constexpr std::size_t lto_organization_offset = 20;
constexpr char lto_organization[] = "LTO-CVE";

// The other families carry their drive ID ("HW_CONF = <hex>") in page C0h,
// normally at the start of the field at byte 73.
constexpr std::size_t drive_id_field_offset = 73;
constexpr char drive_id_tag[] = "HW_CONF";
constexpr char drive_id_label[] = "HW_CONF = ";

template <std::size_t N, std::size_t M>
bool holds_at(const std::array<std::uint8_t, N>& buffer, std::size_t offset, const char (&text)[M]) {
    constexpr std::size_t length = M - 1;
    return offset + length <= N && std::memcmp(buffer.data() + offset, text, length) == 0;
}

template <std::size_t N, std::size_t M>
bool contains(const std::array<std::uint8_t, N>& buffer, int searched, const char (&text)[M]) {
    constexpr std::size_t length = M - 1;
    const std::size_t limit = std::min<std::size_t>(searched < 0 ? 0 : static_cast<std::size_t>(searched), N);
    if (limit < length) return false;
    const auto end = buffer.begin() + static_cast<std::ptrdiff_t>(limit);
    return std::search(buffer.begin(), end, text, text + length) != end;
}

int ask_density_support(scsi_device& device, std::array<std::uint8_t, 56>& buffer) {
    return scsi_report_density_support(device, 0, 0, buffer.data(), static_cast<int>(buffer.size()));
}

}  // namespace

bool scsi_is_lto_drive(scsi_device& device) {
    std::array<std::uint8_t, 56> buffer{};
    // A drive that is still busy (loading, cleaning) is asked again at once
    // for as long as the caller's command timeout allows; one that reports a
    // unit attention or is not ready yet gets a few more tries a second
    // apart. Taking a settling LTO drive for another kind would leave its
    // image without the command that activates it.
    int result = retry_while_settling(device, [&] {
        const std::int64_t last_second = active_clock().now_seconds() + device.timeout_ms / 1000;
        device.scsi_status = scsi_status_busy;
        int asked = -1;
        for (std::int64_t now = active_clock().now_seconds();
             device.scsi_status == scsi_status_busy && now <= last_second; now = active_clock().now_seconds()) {
            asked = ask_density_support(device, buffer);
        }
        return asked;
    }, false);

    // Any other refusal may be a pending condition that fetching the sense
    // clears; a drive that is not ready would only say so again.
    if (result < 0 && device.sense_key != sense_key_not_ready) {
        scsi_request_sense(device, buffer.data(), static_cast<int>(buffer.size()));
        result = ask_density_support(device, buffer);
    }
    if (result <= 0) return false;
    return holds_at(buffer, lto_organization_offset, lto_organization);
}

int identify_drive_config(scsi_device& device) {
    std::array<std::uint8_t, 256> buffer{};
    const int result = retry_while_settling(
        device, [&] { return scsi_inquiry(device, 1, 0xC0, buffer.data(), static_cast<int>(buffer.size())); });
    if (result < 0) {
        // Only the drive's own word that it has no such page tells a drive of
        // another kind; any other failure leaves the question open.
        return ended_with_sense_key(device, sense_key_illegal_request) ? identify_drive_config_no_page
                                                                      : identify_drive_config_unreadable;
    }
    if (holds_at(buffer, drive_id_field_offset, drive_id_tag)) return 0;
    if (contains(buffer, result, drive_id_label)) return 0;
    // Older firmware keeps the configuration only in a vendor buffer; being
    // able to read it is what tells such a drive from a foreign one. A drive
    // still settling is asked again, and only its own word that there is no
    // such buffer makes it foreign.
    const int read = retry_while_settling(
        device, [&] { return scsi_read_buffer(device, buffer.data(), 1, 1, 256, 48); });
    if (read >= 0) return 0;
    return ended_with_sense_key(device, sense_key_illegal_request) ? identify_drive_config_no_buffer
                                                                  : identify_drive_config_unreadable;
}
