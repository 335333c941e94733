#include "inventory/inquiry_pages.h"

#include <array>
#include <cstdint>
#include <string_view>

#include "inventory/number_text.h"
#include "scsi/scsi_commands.h"

namespace {

constexpr int standard_length = 256;
constexpr int vendor_page_length = 96;
constexpr int firmware_page_code = 0xC0;
constexpr int hardware_page_code = 0xC1;

// Byte ranges (first, last) of the texts the readers look at.
struct field_span {
    std::size_t first;
    std::size_t last;
};
constexpr field_span vendor_span{8, 15};
constexpr field_span product_span{16, 31};
constexpr std::size_t inquiry_number_offset = 47;
constexpr field_span ultrium_firmware_span{30, 48};
constexpr field_span ultrium_variant_span{73, 95};
constexpr field_span other_firmware_span{5, 29};
constexpr field_span other_variant_span{73, 93};

template <std::size_t N>
using page_buffer = std::array<std::uint8_t, N>;

// The text of a fixed-width field: up to its first zero byte or its end.
template <std::size_t N>
std::string_view field_text(const page_buffer<N>& page, field_span span) {
    return text_of(reinterpret_cast<const char*>(page.data()) + span.first, span.last - span.first + 1);
}

// The text after the first "=" of a field, spaces trimmed, in `value`.
// False when the field holds no "=".
bool value_after_equals(std::string_view field, text_field<32>& value) {
    const std::size_t equals = field.find('=');
    if (equals == std::string_view::npos) return false;
    copy_text(value, field.substr(equals + 1));
    trim_spaces(value.data());
    return true;
}

// A field without "=" carries no number: the target keeps what it held.
void read_hex_value(std::string_view field, std::uint32_t& target) {
    text_field<32> value{};
    if (value_after_equals(field, value)) target = parse_hex32(value.data());
}

void read_decimal_value(std::string_view field, double& target) {
    text_field<32> value{};
    if (value_after_equals(field, value)) target = parse_double(value.data());
}

// Sends the page INQUIRY into a zeroed buffer, so that bytes the drive did
// not return read as the end of a text. False when nothing came back.
bool inquire_vendor_page(scsi_device& device, int page_code, page_buffer<vendor_page_length>& page) {
    page.fill(0);
    return scsi_inquiry(device, 1, page_code, page.data(), vendor_page_length) > 0;
}

void take_drive(scsi_device& device, drive_record& record) {
    record.in_use = 1;
    record.device = device;
}

void copy_trimmed(std::string_view text, text_field<512>& target) {
    copy_text(target, text);
    trim_spaces(target.data());
}

}  // namespace

void read_standard_page(scsi_device& device, drive_record& record) {
    page_buffer<standard_length> data{};
    if (scsi_inquiry(device, 0, 0, data.data(), standard_length) <= 0) return;

    record.peripheral_qualifier = static_cast<std::uint8_t>(data[0] >> 5);
    record.peripheral_device_type = static_cast<std::uint8_t>(data[0] & 0x1F);
    copy_trimmed(field_text(data, vendor_span), record.vendor_id);
    copy_trimmed(field_text(data, product_span), record.product_id);

    text_field<standard_length> number{};
    copy_text(number, field_text(data, {inquiry_number_offset, standard_length - 1}));
    record.inquiry_number = parse_int(number.data());
}

void read_firmware_page(scsi_device& device, drive_record& record) {
    page_buffer<vendor_page_length> page;
    if (!inquire_vendor_page(device, firmware_page_code, page)) return;
    take_drive(device, record);
    read_decimal_value(field_text(page, ultrium_firmware_span), record.fw_version);
}

void read_hardware_page(scsi_device& device, drive_record& record) {
    page_buffer<vendor_page_length> page;
    if (!inquire_vendor_page(device, hardware_page_code, page)) return;
    take_drive(device, record);
    read_hex_value(field_text(page, ultrium_variant_span), record.drive_id);
}

void read_firmware_page_alt(scsi_device& device, drive_record& record) {
    page_buffer<vendor_page_length> page;
    if (!inquire_vendor_page(device, firmware_page_code, page)) return;
    take_drive(device, record);
    read_hex_value(field_text(page, other_variant_span), record.drive_id);
    read_decimal_value(field_text(page, other_firmware_span), record.fw_version);
}
