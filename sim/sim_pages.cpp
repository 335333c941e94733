#include "sim/sim_pages.h"

#include <algorithm>

namespace {

// Writes `text` into bytes first..last, the rest of the field spaces; a text
// longer than the field is cut at its end.
void put_field(sim_bytes& bytes, std::size_t first, std::size_t last, const std::string& text) {
    std::fill(bytes.begin() + first, bytes.begin() + last + 1, ' ');
    const std::size_t width = last - first + 1;
    std::copy_n(text.begin(), std::min(text.size(), width), bytes.begin() + first);
}

sim_bytes empty_page(std::uint8_t page_code) {
    sim_bytes page(sim_page_length, 0);
    page[1] = page_code;
    return page;
}

}  // namespace

sim_bytes build_standard_data(const sim_drive_config& drive) {
    sim_bytes data(sim_page_length, 0);
    data[0] = static_cast<std::uint8_t>(((drive.qualifier & 7) << 5) | (drive.device_type & 0x1F));
    put_field(data, 8, 15, drive.vendor);
    put_field(data, 16, 31, drive.product);
    put_field(data, 36, 55, std::string(47 - 36, ' ') + drive.inquiry_number);
    return data;
}

sim_bytes build_page_80(const std::string& serial) {
    sim_bytes page(4 + serial.size(), 0);
    page[1] = 0x80;
    page[3] = static_cast<std::uint8_t>(serial.size());
    std::copy(serial.begin(), serial.end(), page.begin() + 4);
    return page;
}

sim_bytes build_page_c0(const sim_drive_config& drive, const std::string& firmware) {
    sim_bytes page = empty_page(0xC0);
    const std::string firmware_text = "FW = " + firmware;
    if (drive.layout == sim_layout::ultrium) {
        put_field(page, 30, 48, firmware_text);
    } else {
        put_field(page, 5, 29, firmware_text);
        put_field(page, 73, 93, "HW_CONF = " + drive.hw_config);
    }
    return page;
}

sim_bytes build_page_c1(const sim_drive_config& drive) {
    sim_bytes page = empty_page(0xC1);
    put_field(page, 73, 95, "HW_CONF = " + drive.hw_config);
    return page;
}

sim_bytes build_density_support(bool lto) {
    constexpr std::size_t header = 4;
    constexpr std::size_t descriptor = 52;
    sim_bytes data(header + descriptor, 0);
    data[1] = static_cast<std::uint8_t>(header + descriptor - 2);  // bytes after the length field
    put_field(data, header + 16, header + 23, lto ? "LTO-CVE" : "KV");
    return data;
}

sim_bytes build_fixed_sense(std::uint8_t key, std::uint8_t asc, std::uint8_t ascq) {
    sim_bytes sense(18, 0);
    sense[0] = 0x70;  // current error, fixed format
    sense[2] = key;
    sense[7] = 10;    // additional length
    sense[12] = asc;
    sense[13] = ascq;
    return sense;
}
