#include "inventory/inquiry_pages.h"

#include <array>
#include <cstdint>
#include <string_view>

#include "platform/number_text.h"
#include "scsi/scsi_commands.h"
#include "scsi/sense.h"
#include "scsi/settle_retry.h"

namespace {

constexpr int standard_length = 256;
// The least standard data any device returns: up to the product revision.
// A shorter reply could cut "KTR320" to "KTR3" and pick the wrong download.
constexpr int least_standard_length = 36;
constexpr int vendor_page_length = 96;
constexpr int firmware_page_code = 0xC0;
constexpr int hardware_page_code = 0xC1;
constexpr int serial_page_code = 0x80;
// The page's length byte allows 255 bytes after its 4-byte header.
constexpr int serial_page_length = 4 + 255;

// Byte ranges (first, last) of the texts the readers look at. The drive ID
// field reads "HW_CONF = <hex>": the hardware configuration code that keys
// the catalogue.
struct field_span {
    std::size_t first;
    std::size_t last;
};
constexpr field_span vendor_span{8, 15};
constexpr field_span product_span{16, 31};
constexpr std::size_t inquiry_number_offset = 47;
constexpr field_span ultrium_firmware_span{30, 48};
constexpr field_span ultrium_drive_id_span{73, 95};
constexpr field_span other_firmware_span{5, 29};
constexpr field_span other_drive_id_span{73, 93};

// A page as the drive returned it: only the first `length` bytes are its answer.
template <std::size_t N>
struct page_reply {
    std::array<std::uint8_t, N> bytes;
    int length;
};

// The text of a fixed-width field: up to its first zero byte or its end.
// Empty when the reply did not cover the whole field: bytes a drive did not
// return are not data.
template <std::size_t N>
std::string_view field_text(const page_reply<N>& page, field_span span) {
    if (page.length < 0 || static_cast<std::size_t>(page.length) <= span.last) return {};
    return text_of(reinterpret_cast<const char*>(page.bytes.data()) + span.first, span.last - span.first + 1);
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

// A field without "=", or without a number after it, carries no number: the
// target keeps what it held and `was_read` stays as it was.
void read_hex_value(std::string_view field, std::uint32_t& target, bool& was_read) {
    text_field<32> value{};
    if (value_after_equals(field, value) && read_hex32(value.data(), target)) was_read = true;
}

void read_version_value(std::string_view field, drive_record& record) {
    text_field<32> value{};
    if (!value_after_equals(field, value) || !read_double(value.data(), record.fw_version)) return;
    record.fw_version_read = true;
    record.fw_version_text = value;
}

// Sends the page INQUIRY into a zeroed buffer; a drive that is busy or still
// settling is asked again. False when nothing came back.
template <std::size_t N>
bool inquire(scsi_device& device, int evpd, int page_code, page_reply<N>& page) {
    page.bytes.fill(0);
    page.length = retry_while_settling(device, [&] {
        return scsi_inquiry(device, evpd, page_code, page.bytes.data(), static_cast<int>(N));
    });
    return page.length > 0;
}

// Reads one of the maker's vendor pages for the record and takes the drive.
// A page that does not answer leaves the drive unidentified: the record then
// keeps how the first such command ended, for the setup log.
bool read_vendor_page(scsi_device& device, int page_code, drive_record& record,
                      page_reply<vendor_page_length>& page) {
    if (!inquire(device, 1, page_code, page)) {
        const char* command = page_code == firmware_page_code ? "INQUIRY page C0h" : "INQUIRY page C1h";
        if (record.read_failure[0] == '\0') copy_text(record.read_failure, describe_scsi_outcome(command, device));
        return false;
    }
    record.in_use = 1;
    record.device = device;
    return true;
}

void copy_trimmed(std::string_view text, text_field<512>& target) {
    copy_text(target, text);
    trim_spaces(target.data());
}

}  // namespace

bool read_standard_page(scsi_device& device, drive_record& record) {
    page_reply<standard_length> data;
    if (!inquire(device, 0, 0, data) || data.length < least_standard_length) return false;

    record.peripheral_qualifier = static_cast<std::uint8_t>(data.bytes[0] >> 5);
    record.peripheral_device_type = static_cast<std::uint8_t>(data.bytes[0] & 0x1F);
    copy_trimmed(field_text(data, vendor_span), record.vendor_id);
    copy_trimmed(field_text(data, product_span), record.product_id);

    // The number runs to the end of what the drive returned, if that far.
    text_field<standard_length> number{};
    record.inquiry_number_read = data.length > static_cast<int>(inquiry_number_offset);
    if (record.inquiry_number_read) {
        copy_text(number, field_text(data, {inquiry_number_offset, static_cast<std::size_t>(data.length) - 1}));
    }
    record.inquiry_number = parse_int(number.data());
    return true;
}

bool read_firmware_page(scsi_device& device, drive_record& record) {
    page_reply<vendor_page_length> page;
    if (!read_vendor_page(device, firmware_page_code, record, page)) return false;
    read_version_value(field_text(page, ultrium_firmware_span), record);
    return true;
}

bool read_hardware_page(scsi_device& device, drive_record& record) {
    page_reply<vendor_page_length> page;
    if (!read_vendor_page(device, hardware_page_code, record, page)) return false;
    read_hex_value(field_text(page, ultrium_drive_id_span), record.drive_id, record.drive_id_read);
    return true;
}

bool read_firmware_page_alt(scsi_device& device, drive_record& record) {
    page_reply<vendor_page_length> page;
    if (!read_vendor_page(device, firmware_page_code, record, page)) return false;
    read_hex_value(field_text(page, other_drive_id_span), record.drive_id, record.drive_id_read);
    read_version_value(field_text(page, other_firmware_span), record);
    return true;
}

bool read_serial_page(scsi_device& device, drive_record& record) {
    page_reply<serial_page_length> page;
    record.serial[0] = '\0';
    if (!inquire(device, 1, serial_page_code, page)) {
        // A drive without the page has no serial number: handled as always.
        if (ended_with_sense_key(device, sense_key_illegal_request)) return true;
        record.serial_failed = true;
        if (record.read_failure[0] == '\0') {
            copy_text(record.read_failure, describe_scsi_outcome("INQUIRY page 80h", device));
        }
        return false;
    }
    // A reply that does not reach the end of the text its header announces
    // (or does not reach the header's length byte) holds a cut serial number:
    // "HU12" of "HU1234ABCD" is the start of every drive of a batch. The
    // drive is otherwise known whole and is told apart by its device number.
    const std::size_t returned = page.length > 4 ? static_cast<std::size_t>(page.length) - 4 : 0;
    const std::size_t said = page.length > 3 ? page.bytes[3] : returned + 1;
    record.serial_cut = said > returned;
    if (record.serial_cut) return true;
    copy_text(record.serial, text_of(reinterpret_cast<const char*>(page.bytes.data()) + 4, said));
    trim_spaces(record.serial.data());
    return true;
}
