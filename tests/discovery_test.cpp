#include "inventory/discovery.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "scsi/transport.h"

namespace {

using bytes = std::vector<std::uint8_t>;

struct fake_drive {
    bool opens = true;
    bytes standard;
    std::map<int, bytes> pages;  // vendor pages by page code
};

// A bus of drives by address that counts what the scan does to them.
class counting_bus : public scsi_transport {
public:
    std::map<std::uint32_t, fake_drive> drives;
    std::vector<std::uint32_t> opened, closed;
    std::map<std::uint32_t, int> test_unit_ready;
    int open_now = 0, most_open = 0;
    bool wrong_timeout = false;

    int open(scsi_device& device) override {
        const auto drive = drives.find(device.address);
        if (drive == drives.end() || !drive->second.opens) return -1;
        device.os_handle = &drive->second;
        opened.push_back(device.address);
        most_open = std::max(most_open, ++open_now);
        return 0;
    }
    void close(scsi_device& device) override {
        closed.push_back(device.address);
        --open_now;
    }
    void execute(scsi_request& request) override {
        const fake_drive& drive = *static_cast<const fake_drive*>(request.device->os_handle);
        if (request.device->timeout_ms != 100000) wrong_timeout = true;
        const std::uint8_t op = request.cdb[0];
        if (op == 0x00) {
            ++test_unit_ready[request.device->address];
            return store_scsi_outcome(request, scsi_status_good, 0, nullptr, 0);
        }
        const bytes* data = nullptr;
        if (op == 0x12 && (request.cdb[1] & 1) == 0) data = &drive.standard;
        if (op == 0x12 && (request.cdb[1] & 1) != 0) {
            const auto page = drive.pages.find(request.cdb[2]);
            if (page != drive.pages.end()) data = &page->second;
        }
        if (!data) {
            const std::uint8_t sense[18] = {0x70, 0, 0x05, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x24, 0x00};
            return store_scsi_outcome(request, scsi_status_check_condition, 0, sense, sizeof sense);
        }
        const std::size_t moved = std::min<std::size_t>(data->size(), request.data_length);
        if (moved > 0) std::memcpy(request.data, data->data(), moved);
        store_scsi_outcome(request, scsi_status_good, static_cast<std::int32_t>(moved), nullptr, 0);
    }
};

void put(bytes& page, std::size_t offset, const std::string& text) {
    std::memcpy(page.data() + offset, text.data(), text.size());
}

bytes standard(std::uint8_t type, const std::string& vendor, const std::string& product, const std::string& number) {
    bytes data(96, 0);
    data[0] = type;
    put(data, 8, (vendor + std::string(8, ' ')).substr(0, 8));
    put(data, 16, (product + std::string(16, ' ')).substr(0, 16));
    put(data, 36, std::string(20, ' '));
    put(data, 47, number);
    return data;
}

fake_drive ultrium(const std::string& firmware, const std::string& hw_config, const std::string& vendor = "KV",
                   const std::string& product = "ULTRIUM-HH6", const std::string& number = "5") {
    fake_drive drive;
    drive.standard = standard(1, vendor, product, number);
    drive.pages[0xC0] = bytes(96, 0);
    put(drive.pages[0xC0], 30, "FW = " + firmware);
    drive.pages[0xC1] = bytes(96, 0);
    put(drive.pages[0xC1], 73, "HW_CONF = " + hw_config);
    return drive;
}

fake_drive other_family(const std::string& firmware, const std::string& hw_config, const std::string& product) {
    fake_drive drive;
    drive.standard = standard(1, "KV", product, "");
    drive.pages[0xC0] = bytes(96, 0);
    put(drive.pages[0xC0], 5, "FW = " + firmware);
    put(drive.pages[0xC0], 73, "HW_CONF = " + hw_config);
    return drive;
}

class DiscoveryTest : public ::testing::Test {
protected:
    void SetUp() override { install_transport(&bus_); }
    void TearDown() override { install_transport(nullptr); }

    counting_bus bus_;
    std::unique_ptr<drive_table> table_ = std::make_unique<drive_table>();
};

TEST_F(DiscoveryTest, NoDeviceGivesAnEmptyTable) {
    (*table_)[0].in_use = 1;  // a table from an earlier scan
    EXPECT_EQ(discover_drives(*table_), 0);
    EXPECT_EQ(count_in_use(*table_), 0);
    EXPECT_TRUE(bus_.opened.empty());
}

TEST_F(DiscoveryTest, TakesTheMakersDrivesInAddressOrder) {
    bus_.drives[3] = ultrium("2.05", "0x00a4");
    bus_.drives[5].standard = standard(0, "KV", "ULTRIUM", "5");  // a disk of the maker
    bus_.drives[6].opens = false;
    bus_.drives[7] = other_family("1.10", "0x0320", "KTR320");

    EXPECT_EQ(discover_drives(*table_), 2);
    const drive_record& first = (*table_)[0];
    const drive_record& second = (*table_)[1];
    EXPECT_EQ(first.in_use, 1);
    EXPECT_EQ(first.device.address, 3u);
    EXPECT_EQ(first.drive_id, 0xA4u);
    EXPECT_DOUBLE_EQ(first.fw_version, 2.05);
    EXPECT_EQ(text_of(first.product_id), "ULTRIUM-HH6");
    EXPECT_EQ(second.in_use, 1);
    EXPECT_EQ(second.device.address, 7u);
    EXPECT_EQ(second.drive_id, 0x320u);
    EXPECT_DOUBLE_EQ(second.fw_version, 1.10);
    EXPECT_EQ((*table_)[2].in_use, 0);

    // Every device that opened was closed again, one at a time, after five
    // TEST UNIT READY; the device that did not open was not closed.
    EXPECT_EQ(bus_.opened, (std::vector<std::uint32_t>{3, 5, 7}));
    EXPECT_EQ(bus_.closed, bus_.opened);
    EXPECT_EQ(bus_.most_open, 1);
    for (std::uint32_t address : bus_.opened) EXPECT_EQ(bus_.test_unit_ready[address], 5) << address;
    EXPECT_FALSE(bus_.wrong_timeout);
}

TEST_F(DiscoveryTest, DecisionTable) {
    struct row {
        const char* why;
        fake_drive drive;
        bool taken;
    };
    fake_drive changer = ultrium("1", "1");
    changer.standard[0] = 8;
    fake_drive disk = other_family("1", "1", "KTR320");
    disk.standard[0] = 0;
    fake_drive no_hw_conf = other_family("1", "1", "KTR320");
    put(no_hw_conf.pages[0xC0], 73, "XX");
    const row rows[] = {
        {"Ultrium of the maker", ultrium("2", "1"), true},
        {"short vendor spelling with hyphen", ultrium("2", "1", "k-v"), true},
        {"vendor with inner space", ultrium("2", "1", " K V"), true},
        {"other vendor", ultrium("2", "1", "KVX"), false},
        {"ultrium in lower case inside", ultrium("2", "1", "KV", "lto ultrium 7"), true},
        {"Ultrium without inquiry number", ultrium("2", "1", "KV", "ULTRIUM-HH6", "  "), false},
        {"Ultrium with negative inquiry number", ultrium("2", "1", "KV", "ULTRIUM-HH6", "-4"), false},
        {"medium changer", changer, false},
        {"disk", disk, false},
        {"other family with configuration", other_family("1.1", "0x10", "KTR320"), true},
        {"other family without configuration", no_hw_conf, false},
    };
    for (const row& r : rows) {
        bus_.drives.clear();
        bus_.drives[9] = r.drive;
        EXPECT_EQ(discover_drives(*table_), r.taken ? 1 : 0) << r.why;
        EXPECT_EQ((*table_)[0].in_use, r.taken ? 1 : 0) << r.why;
    }
}

TEST_F(DiscoveryTest, FailedPagesStillTakeTheDrive) {
    fake_drive drive = ultrium("2.05", "0x00a4");
    drive.pages.clear();
    bus_.drives[4] = drive;
    EXPECT_EQ(discover_drives(*table_), 1);
    const drive_record& record = (*table_)[0];
    EXPECT_EQ(record.in_use, 1);
    EXPECT_EQ(record.drive_id, 0u);
    EXPECT_EQ(record.fw_version, 0.0);
    EXPECT_EQ(record.device.address, 4u);  // its own address, pages or no pages
    EXPECT_FALSE(is_identified(record));
}

TEST_F(DiscoveryTest, FailedInquiryIsJudgedOnAFreshSlot) {
    // A drive that is not taken leaves its answers in the slot; the next
    // device, whose INQUIRY fails, must not be taken on them.
    fake_drive unconfigured = other_family("1", "1", "KTR320");
    put(unconfigured.pages[0xC0], 73, "XX");
    bus_.drives[1] = unconfigured;
    fake_drive silent = other_family("1", "1", "KTR320");
    silent.standard.clear();
    bus_.drives[2] = silent;
    EXPECT_EQ(discover_drives(*table_), 0);
    EXPECT_EQ(count_in_use(*table_), 0);
}

TEST_F(DiscoveryTest, StopsAtTwentyThreeDrives) {
    for (std::uint32_t address = 10; address < 40; ++address) bus_.drives[address] = ultrium("1", std::to_string(address));
    EXPECT_EQ(discover_drives(*table_), 23);
    EXPECT_EQ(count_in_use(*table_), 23);
    EXPECT_EQ((*table_)[22].device.address, 32u);
    EXPECT_EQ(bus_.opened.back(), 32u);  // nothing beyond the last drive taken is opened
    EXPECT_EQ(bus_.closed, bus_.opened);
}

}  // namespace
