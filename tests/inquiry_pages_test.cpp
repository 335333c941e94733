#include "inventory/inquiry_pages.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <set>
#include <memory>
#include <string>
#include <vector>

#include "scsi/transport.h"
#include "sim/sim_clock.h"

namespace {

using bytes = std::vector<std::uint8_t>;

// Answers INQUIRY from a table of pages (key -1: the standard data); a page
// that is not in the table ends in CHECK CONDITION.
class page_transport : public scsi_transport {
public:
    std::map<int, bytes> pages;
    std::set<int> busy;  // pages answered with BUSY, however often asked
    std::vector<std::array<std::uint8_t, 6>> sent;

    int open(scsi_device& device) override {
        device.os_handle = this;
        return 0;
    }
    void close(scsi_device&) override {}
    void execute(scsi_request& request) override {
        std::array<std::uint8_t, 6> cdb{};
        std::copy_n(request.cdb.begin(), 6, cdb.begin());
        sent.push_back(cdb);
        const int key = (request.cdb[1] & 1) ? request.cdb[2] : -1;
        const auto page = pages.find(key);
        if (busy.count(key) != 0) {
            store_scsi_outcome(request, scsi_status_busy, 0, nullptr, 0);
            return;
        }
        if (request.cdb[0] != 0x12 || page == pages.end()) {
            const std::uint8_t sense[18] = {0x70, 0, 0x05, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x24, 0x00};
            store_scsi_outcome(request, scsi_status_check_condition, 0, sense, sizeof sense);
            return;
        }
        const std::size_t moved = std::min<std::size_t>(page->second.size(), request.data_length);
        if (moved > 0) std::memcpy(request.data, page->second.data(), moved);
        store_scsi_outcome(request, scsi_status_good, static_cast<std::int32_t>(moved), nullptr, 0);
    }
};

void put(bytes& page, std::size_t offset, const std::string& text) {
    ASSERT_LE(offset + text.size(), page.size());
    std::memcpy(page.data() + offset, text.data(), text.size());
}

// Standard data as a drive builds it: texts padded with spaces in their fields.
bytes standard_data(std::uint8_t byte0, const std::string& vendor, const std::string& product,
                    const std::string& from_47) {
    bytes data(96, 0);
    data[0] = byte0;
    put(data, 8, (vendor + std::string(8, ' ')).substr(0, 8));
    put(data, 16, (product + std::string(16, ' ')).substr(0, 16));
    put(data, 32, "9.99");  // product revision level
    put(data, 36, std::string(20, ' '));
    put(data, 47, from_47);
    return data;
}

// A vendor page with `text` at each given offset.
bytes vendor_page(int code, std::initializer_list<std::pair<std::size_t, std::string>> texts) {
    bytes page(96, 0);
    page[1] = static_cast<std::uint8_t>(code);
    for (const auto& [offset, text] : texts) put(page, offset, text);
    return page;
}

class InquiryPagesTest : public ::testing::Test {
protected:
    void SetUp() override {
        install_transport(&bus_);
        device_.address = 7;
        scsi_open(device_);
    }
    void TearDown() override { install_transport(nullptr); }

    page_transport bus_;
    scsi_device device_{};
    std::unique_ptr<drive_record> record_ = std::make_unique<drive_record>();
};

TEST_F(InquiryPagesTest, StandardData) {
    struct row {
        std::uint8_t byte0;
        const char* vendor;
        const char* product;
        const char* from_47;
        unsigned qualifier, type;
        const char* vendor_id;
        const char* product_id;
        std::int32_t inquiry_number;
    };
    const row rows[] = {
        {0x21, "KV", "ULTRIUM-HH6", "12 ", 1, 1, "KV", "ULTRIUM-HH6", 12},
        {0x01, "KV", "KTR320", "5", 0, 1, "KV", "KTR320", 5},
        {0xE8, " kv-x ", "  Tape Drive ", "A1", 7, 8, "kv-x", "Tape Drive", 0},
        {0x1F, "ZEPHYRMO", "0123456789ABCDEF", " -3", 0, 31, "ZEPHYRMO", "0123456789ABCDEF", -3},
    };
    for (const row& r : rows) {
        *record_ = drive_record{};
        bus_.pages[-1] = standard_data(r.byte0, r.vendor, r.product, r.from_47);
        read_standard_page(device_, *record_);
        EXPECT_EQ(record_->peripheral_qualifier, r.qualifier) << r.product;
        EXPECT_EQ(record_->peripheral_device_type, r.type) << r.product;
        EXPECT_EQ(text_of(record_->vendor_id), r.vendor_id) << r.product;
        EXPECT_EQ(text_of(record_->product_id), r.product_id) << r.product;
        EXPECT_EQ(record_->inquiry_number, r.inquiry_number) << r.product;
        // The revision level is never a firmware version, and the standard
        // data alone does not take a drive.
        EXPECT_EQ(record_->fw_version, 0.0);
        EXPECT_EQ(record_->in_use, 0);
    }
    ASSERT_FALSE(bus_.sent.empty());
    const std::array<std::uint8_t, 6> expected_cdb{0x12, 0, 0, 0, 0xFF, 0};
    EXPECT_EQ(bus_.sent.back(), expected_cdb);
}

TEST_F(InquiryPagesTest, StandardTextsEndAtAZeroByteInsideTheField) {
    bytes data = standard_data(0x01, "KV", "ULTRIUM", "12");
    data[10] = 'X';
    data[9] = 0;             // "K" then a zero byte
    data[16 + 7] = 0;        // product ends after ULTRIUM even with more bytes behind
    data[16 + 8] = 'Z';
    bus_.pages[-1] = data;
    read_standard_page(device_, *record_);
    EXPECT_EQ(text_of(record_->vendor_id), "K");
    EXPECT_EQ(text_of(record_->product_id), "ULTRIUM");
}

TEST_F(InquiryPagesTest, StandardDataShorterThan36BytesIsAFailedRead) {
    // A cut reply must never turn "KTR320" into "KTR3".
    bytes data = standard_data(0x01, "KV", "KTR320", "12");
    data.resize(20);
    bus_.pages[-1] = data;
    EXPECT_FALSE(read_standard_page(device_, *record_));
    EXPECT_EQ(text_of(record_->product_id), "");
    EXPECT_EQ(record_->peripheral_device_type, 0);

    // 36 bytes hold the texts but not the number at byte 47.
    data = standard_data(0x01, "KV", "KTR320", "12");
    data.resize(36);
    bus_.pages[-1] = data;
    EXPECT_TRUE(read_standard_page(device_, *record_));
    EXPECT_EQ(text_of(record_->product_id), "KTR320");
    EXPECT_EQ(record_->inquiry_number, 0);
}

TEST_F(InquiryPagesTest, FailedInquiryLeavesTheRecordAlone) {
    record_->in_use = 0;
    record_->peripheral_device_type = 8;
    copy_text(record_->vendor_id, "OLD");
    record_->drive_id = 0x55;
    record_->fw_version = 4.5;
    record_->inquiry_number = 9;
    bus_.pages[-1] = bytes{};  // GOOD, but nothing moved
    read_standard_page(device_, *record_);
    bus_.pages.clear();        // every page now ends in CHECK CONDITION
    read_standard_page(device_, *record_);
    read_firmware_page(device_, *record_);
    read_hardware_page(device_, *record_);
    read_firmware_page_alt(device_, *record_);

    EXPECT_EQ(record_->in_use, 0);
    EXPECT_EQ(record_->device.os_handle, nullptr);
    EXPECT_EQ(record_->peripheral_device_type, 8);
    EXPECT_EQ(text_of(record_->vendor_id), "OLD");
    EXPECT_EQ(record_->drive_id, 0x55u);
    EXPECT_EQ(record_->fw_version, 4.5);
    EXPECT_EQ(record_->inquiry_number, 9);
}

TEST_F(InquiryPagesTest, UltriumPages) {
    struct row {
        const char* why;
        std::string firmware;   // bytes 30 to 48 and on
        std::string variant;    // bytes 73 to 95
        double fw_version;
        std::uint32_t drive_id;
        bool identified;  // both numbers stood after their "="
    };
    const row rows[] = {
        {"built page", "FW = 2.05", "HW_CONF = 0x00a4", 2.05, 0xA4, true},
        {"no prefix", "FW = 2.05   ", "HW_CONF = 1234", 2.05, 0x1234, true},
        {"space then 0x", "FW= 2.05", "X= 0x1234", 2.05, 0x1234, true},
        {"letter after =", "FW = V2.05", "HW_CONF = G1", 0.0, 0, false},
        {"field ends at byte 48", "FW =       2.0512349", "HW_CONF = 12345", 2.051234, 0x12345, true},
        {"second = is text", "A=B=3", "A=0x10=5", 0.0, 0x10, false},
        {"zero read from the drive is a number", "FW = 0", "HW_CONF = 0x0000", 0.0, 0, true},
    };
    for (const row& r : rows) {
        *record_ = drive_record{};
        bus_.pages[0xC0] = vendor_page(0xC0, {{4, "FIRMWARE COMPONENT"}, {30, r.firmware}});
        bus_.pages[0xC1] = vendor_page(0xC1, {{4, "HARDWARE COMPONENT"}, {73, r.variant}});
        read_firmware_page(device_, *record_);
        EXPECT_EQ(record_->in_use, 1) << r.why;
        EXPECT_DOUBLE_EQ(record_->fw_version, r.fw_version) << r.why;
        EXPECT_EQ(record_->drive_id, 0u) << r.why << ": page C0h holds no drive ID in this layout";
        read_hardware_page(device_, *record_);
        EXPECT_EQ(record_->drive_id, r.drive_id) << r.why;
        EXPECT_DOUBLE_EQ(record_->fw_version, r.fw_version) << r.why;
        EXPECT_EQ(record_->device.address, 7u);
        EXPECT_NE(record_->device.os_handle, nullptr);  // copied while open
        EXPECT_EQ(is_identified(*record_), r.identified) << r.why;
    }
    const std::array<std::uint8_t, 6> c1_cdb{0x12, 1, 0xC1, 0, 96, 0};
    EXPECT_EQ(bus_.sent.back(), c1_cdb);
}

TEST_F(InquiryPagesTest, OtherFamilyPage) {
    struct row {
        const char* why;
        std::string firmware;   // bytes 4 to 29
        std::string variant;    // bytes 73 to 95
        double fw_version;
        std::uint32_t drive_id;
    };
    const row rows[] = {
        {"built page", " FW = 1.10", "HW_CONF = 0x0320", 1.10, 0x320},
        // The firmware field begins at byte 5: an "=" at byte 4 is not in it.
        {"byte 4 not read", "=9.9 FW = 1.25", "HW_CONF = 0x0320", 1.25, 0x320},
        // The variant field ends at byte 93: bytes 94 and 95 are not in it.
        {"byte 94 not read", " FW = 1.1", "HW_CONF =     0x12345FF", 1.1, 0x12345},
        {"no = anywhere", " FIRMWARE 1.5", "HW_CONF 0x10", 6.5, 0x99},
    };
    for (const row& r : rows) {
        *record_ = drive_record{};
        record_->fw_version = 6.5;
        record_->drive_id = 0x99;
        bus_.pages[0xC0] = vendor_page(0xC0, {{4, r.firmware}, {73, r.variant}});
        read_firmware_page_alt(device_, *record_);
        EXPECT_EQ(record_->in_use, 1) << r.why;
        EXPECT_DOUBLE_EQ(record_->fw_version, r.fw_version) << r.why;
        EXPECT_EQ(record_->drive_id, r.drive_id) << r.why;
    }
}

TEST_F(InquiryPagesTest, FieldsTheReplyDoesNotCoverWholeAreUnread) {
    struct row {
        const char* why;
        std::size_t c0_length, c1_length;
        bool ultrium;
        bool fw_read, id_read;
    };
    const row rows[] = {
        {"Ultrium C0h 48 bytes, C1h 95", 48, 95, true, false, false},
        {"Ultrium C0h 49 bytes, C1h 96", 49, 96, true, true, true},
        {"other C0h 93 bytes: firmware yes, variant cut", 93, 0, false, true, false},
        {"other C0h 94 bytes", 94, 0, false, true, true},
    };
    for (const row& r : rows) {
        *record_ = drive_record{};
        bytes c0 = r.ultrium ? vendor_page(0xC0, {{30, "FW = 2.0512349"}})
                             : vendor_page(0xC0, {{5, "FW = 1.10"}, {73, "HW_CONF = 0x0320"}});
        bytes c1 = vendor_page(0xC1, {{73, "HW_CONF = 0x00a41234567"}});
        c0.resize(r.c0_length);
        c1.resize(r.c1_length);
        bus_.pages[0xC0] = c0;
        bus_.pages[0xC1] = c1;
        if (r.ultrium) {
            read_firmware_page(device_, *record_);
            read_hardware_page(device_, *record_);
        } else {
            read_firmware_page_alt(device_, *record_);
        }
        EXPECT_EQ(record_->fw_version_read, r.fw_read) << r.why;
        EXPECT_EQ(record_->drive_id_read, r.id_read) << r.why;
        if (!r.fw_read) {
            EXPECT_EQ(record_->fw_version, 0.0) << r.why;
        }
        if (!r.id_read) {
            EXPECT_EQ(record_->drive_id, 0u) << r.why;
        }
    }
}

TEST_F(InquiryPagesTest, SerialNumberPage) {
    struct row {
        const char* why;
        std::string text;  // from byte 4
        int length_byte;   // byte 3; -1: no page; -2: two bytes of it
        bool busy;
        const char* serial;
        bool identified;
    };
    const row rows[] = {
        {"as the drive says it", "HU1234ABCD", 10, false, "HU1234ABCD", true},
        {"spaces trimmed", "  HU12    ", 10, false, "HU12", true},
        {"no further than byte 3 says", "HU1234ABCDXYZ", 6, false, "HU1234", true},
        // Every drive of a batch would read "HU12": a cut text is none.
        {"byte 3 says 14, 8 arrive: no serial number", "HU12    ", 14, false, "", true},
        {"the reply ends before byte 3", "", -2, false, "", true},
        {"no text: no serial number", "", 0, false, "", true},
        {"no page: no serial number", "", -1, false, "", true},
        {"a drive that stays busy is not known whole", "", -1, true, "", false},
    };
    sim_clock instant(0);  // the pauses between the asks for a busy drive cost nothing
    install_clock(&instant);
    for (const row& r : rows) {
        SCOPED_TRACE(r.why);
        *record_ = drive_record{};
        record_->drive_id_read = record_->fw_version_read = true;
        copy_text(record_->serial, "stale");
        bus_.pages.erase(0x80);
        bus_.busy.clear();
        if (r.length_byte >= 0) {
            bytes page(4 + r.text.size(), 0);
            page[1] = 0x80;
            page[3] = static_cast<std::uint8_t>(r.length_byte);
            put(page, 4, r.text);
            bus_.pages[0x80] = page;
        }
        if (r.length_byte == -2) bus_.pages[0x80] = {0, 0x80};
        if (r.busy) bus_.busy.insert(0x80);
        EXPECT_EQ(read_serial_page(device_, *record_), r.identified);
        EXPECT_EQ(text_of(record_->serial), r.serial);
        EXPECT_EQ(is_identified(*record_), r.identified);
        EXPECT_EQ(record_->serial_cut, r.length_byte == -2 || r.length_byte > static_cast<int>(r.text.size()));
        EXPECT_EQ(text_of(record_->read_failure), r.identified ? "" : "SCSI INQUIRY page 80h on device 7: BUSY");
    }
    install_clock(nullptr);
}

TEST_F(InquiryPagesTest, EachUltriumPageStandsAlone) {
    bus_.pages[0xC1] = vendor_page(0xC1, {{73, "HW_CONF = 0x00a4"}});
    read_firmware_page(device_, *record_);
    EXPECT_EQ(record_->in_use, 0);
    read_hardware_page(device_, *record_);
    EXPECT_EQ(record_->in_use, 1);
    EXPECT_EQ(record_->drive_id, 0xA4u);
    EXPECT_EQ(record_->fw_version, 0.0);
}

}  // namespace
