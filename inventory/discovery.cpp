#include "inventory/discovery.h"

#include <array>
#include <string_view>

#include "inventory/inquiry_pages.h"
#include "platform/interrupt.h"
#include "scsi/scsi_commands.h"
#include "scsi/scsi_probes.h"

namespace {

constexpr std::uint32_t scan_card = 0;
constexpr std::uint32_t last_address = 255;
constexpr std::int32_t scan_timeout_ms = 100000;
// A drive that has just been powered or reset reports a unit attention on
// its first commands; a few TEST UNIT READY clear it before the INQUIRY.
constexpr int test_unit_ready_count = 5;
constexpr std::uint8_t sequential_access_device = 1;

// The maker's vendor identification, told apart from the way different
// drive generations spell it (case, hyphen, inner spaces).
bool is_makers_vendor(const drive_record& record) {
    text_field<512> vendor{};
    copy_text(vendor, text_of(record.vendor_id));
    const std::string_view cleaned = keep_alnum(to_upper(trim_spaces(vendor.data())));
    return cleaned == "KV" || cleaned == "ZEPHYRMOUNTAIN";
}

bool is_ultrium_product(const drive_record& record) {
    text_field<512> product{};
    copy_text(product, text_of(record.product_id));
    const std::string_view cleaned = trim_spaces(to_upper(product.data()));
    return cleaned.find("ULTRIUM") != std::string_view::npos;
}

// Reads the drive's vendor pages into the record when it is one of the
// maker's tape drives that can be flashed. A device of the maker's vendor
// that is passed over gets the answer that made it so in `cause`.
device_finding take_if_makers_drive(scsi_device& device, drive_record& record, finding_cause& cause) {
    if (record.peripheral_device_type != sequential_access_device) return device_finding::not_taken;
    if (!is_makers_vendor(record)) return device_finding::not_taken;

    if (is_ultrium_product(record)) {
        // Standard data cut before the number cannot tell a drive to be
        // taken from one that is not: it may be one of ours on old firmware.
        if (!record.inquiry_number_read) return device_finding::unexaminable;
        if (record.inquiry_number <= 0) {
            cause = finding_cause::no_inquiry_number;
            return device_finding::not_taken;
        }
        read_firmware_page(device, record);
        read_hardware_page(device, record);
    } else {
        const int config = identify_drive_config(device);
        if (config == identify_drive_config_unreadable) return device_finding::unexaminable;
        if (config != 0) {
            cause = config == identify_drive_config_no_buffer ? finding_cause::no_vendor_buffer
                                                              : finding_cause::no_page_c0;
            return device_finding::not_taken;
        }
        read_firmware_page_alt(device, record);
    }
    // Only a drive known by its configuration and version is asked who it
    // is: the serial number follows it when its device number moves.
    if (is_identified(record)) read_serial_page(device, record);
    // The address is the drive's own whatever its pages answered: flashing
    // reaches the drive through it, and address 0 is another drive.
    record.in_use = 1;
    record.device = device;
    return device_finding::taken;
}

}  // namespace

const char* finding_cause_text(finding_cause cause) {
    switch (cause) {
        case finding_cause::open_denied:
            return "opening it was refused for lack of rights; reaching tape drives needs root or CAP_SYS_RAWIO";
        case finding_cause::open_held: return "it would not open; another program may hold it";
        case finding_cause::no_inquiry_number: return "its standard data holds no inquiry number above 0";
        case finding_cause::no_page_c0: return "its page C0h answered ILLEGAL REQUEST";
        case finding_cause::no_vendor_buffer: return "its vendor buffer answered ILLEGAL REQUEST";
        case finding_cause::none:
        case finding_cause::no_answer: break;
    }
    return "";
}

device_finding read_drive_at(scsi_device& device, drive_record& record, finding_cause* cause) {
    finding_cause ignored = finding_cause::none;
    finding_cause& why = cause ? *cause : ignored;
    why = finding_cause::none;
    if (scsi_open(device) != 0) {
        if (device.open_failure == scsi_open_absent) return device_finding::absent;
        why = device.open_failure == scsi_open_denied ? finding_cause::open_denied : finding_cause::open_held;
        return device_finding::unexaminable;
    }
    scsi_set_timeout(device, scan_timeout_ms);
    for (int i = 0; i < test_unit_ready_count; ++i) scsi_test_unit_ready(device);

    // A fresh record for every device that opens, so that one whose INQUIRY
    // fails is judged on nothing rather than on an earlier device's answers.
    record = drive_record{};
    const device_finding finding =
        read_standard_page(device, record) ? take_if_makers_drive(device, record, why) : device_finding::unexaminable;
    if (finding == device_finding::unexaminable) why = finding_cause::no_answer;
    scsi_close(device);
    return finding;
}

void drop_shared_serials(drive_table& table) {
    std::array<bool, drive_table_slots> shared{};
    for (std::size_t i = 0; i < table.size(); ++i) {
        if (table[i].in_use == 0 || table[i].serial[0] == '\0') continue;
        for (std::size_t j = i + 1; j < table.size(); ++j) {
            if (table[j].in_use == 0 || text_of(table[j].serial) != text_of(table[i].serial)) continue;
            // The same tape device asked twice is one drive (it is opened
            // by its number alone).
            if (table[j].device.address == table[i].device.address) continue;
            shared[i] = shared[j] = true;
        }
    }
    for (std::size_t i = 0; i < table.size(); ++i) {
        if (!shared[i]) continue;
        copy_text(table[i].shared_serial, text_of(table[i].serial));
        table[i].serial[0] = '\0';
    }
}

int discover_drives(drive_table& table, std::vector<unexamined_device>* unexamined,
                    std::vector<passed_over_device>* passed_over, int* nodes) {
    clear_table(table);
    int count = 0;
    if (nodes) *nodes = 0;
    scsi_device device{};
    // Once every slot holds a drive the scan ends: no further device could
    // be recorded, so none is opened.
    for (std::uint32_t address = 0; address <= last_address; ++address) {
        if (count == static_cast<int>(table.size())) break;
        // A run asked to stop does not go on knocking at devices.
        if (stop_requested()) break;
        device.card = scan_card;
        device.address = address;
        device.lun = 0;
        drive_record& record = table[static_cast<std::size_t>(count)];
        finding_cause cause = finding_cause::none;
        const device_finding finding = read_drive_at(device, record, &cause);
        if (finding == device_finding::taken) ++count;
        if (finding != device_finding::absent && nodes) ++*nodes;
        if (finding == device_finding::unexaminable && unexamined) unexamined->push_back({address, cause});
        if (finding == device_finding::not_taken && cause != finding_cause::none && passed_over) {
            passed_over->push_back({address, cause, record.vendor_id, record.product_id});
        }
    }
    drop_shared_serials(table);
    return count;
}
