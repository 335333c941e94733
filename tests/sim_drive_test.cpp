// What a simulated drive answers: its built standard data and vendor pages,
// REPORT DENSITY SUPPORT, REQUEST SENSE, READ BUFFER and unknown commands.
#include <gtest/gtest.h>

#include <array>
#include <string>

#include "scsi/scsi_commands.h"
#include "scsi/scsi_device.h"
#include "support/sim_bus_builder.h"
#include "support/test_support.h"

namespace {

using namespace test_support;

std::string bytes_at(const std::array<std::uint8_t, 256>& buffer, std::size_t first, std::size_t last) {
    return std::string(buffer.begin() + first, buffer.begin() + last + 1);
}

TEST(SimDrive, BuildsStandardDataFromItsKeys) {
    sim_json drive = ultrium_drive(2, "2.05", "0x00a4");
    drive["qualifier"] = 1;
    drive["inquiry_number"] = "12";
    installed_bus installed(bus_of({drive, {{"address", 4}}}));
    scsi_device device = open_drive(2);
    std::array<std::uint8_t, 256> data{};
    ASSERT_EQ(scsi_inquiry(device, 0, 0, data.data(), 256), 96);
    EXPECT_EQ(data[0], 0x21);
    EXPECT_EQ(bytes_at(data, 8, 15), "KV      ");
    EXPECT_EQ(bytes_at(data, 16, 31), "ULTRIUM-HH6     ");
    EXPECT_EQ(bytes_at(data, 32, 35), std::string(4, '\0'));
    EXPECT_EQ(bytes_at(data, 36, 55), std::string(11, ' ') + "12" + std::string(7, ' '));
    EXPECT_EQ(data[56], 0);

    // Only the address given: every other key takes its default.
    scsi_device plain = open_drive(4);
    data.fill(0xAA);
    ASSERT_EQ(scsi_inquiry(plain, 0, 0, data.data(), 256), 96);
    EXPECT_EQ(data[0], 0x01);
    EXPECT_EQ(bytes_at(data, 8, 31), "KV      ULTRIUM-HH6     ");
    EXPECT_EQ(bytes_at(data, 47, 48), "5 ");
    EXPECT_EQ(data[95], 0);
    ASSERT_EQ(scsi_inquiry(plain, 1, 0xC0, data.data(), 96), 96);
    EXPECT_EQ(bytes_at(data, 30, 48), "FW = 1.00          ");
    ASSERT_EQ(scsi_inquiry(plain, 1, 0xC1, data.data(), 96), 96);
    EXPECT_EQ(bytes_at(data, 73, 95), "HW_CONF = 0x0000       ");
}

TEST(SimDrive, BuildsVendorPagesInTheirLayout) {
    installed_bus installed(bus_of({ultrium_drive(0, "2.05", "0x00a4"), other_drive(1, "KTR320", "1.10", "0x0320")}));
    std::array<std::uint8_t, 256> page{};

    scsi_device ultrium = open_drive(0);
    ASSERT_EQ(scsi_inquiry(ultrium, 1, 0xC0, page.data(), 96), 96);
    EXPECT_EQ(page[1], 0xC0);
    EXPECT_EQ(bytes_at(page, 29, 49), std::string(1, '\0') + "FW = 2.05          " + std::string(1, '\0'));
    EXPECT_EQ(bytes_at(page, 73, 95), std::string(23, '\0'));
    ASSERT_EQ(scsi_inquiry(ultrium, 1, 0xC1, page.data(), 96), 96);
    EXPECT_EQ(page[1], 0xC1);
    EXPECT_EQ(bytes_at(page, 72, 95), std::string(1, '\0') + "HW_CONF = 0x00a4       ");
    EXPECT_EQ(scsi_inquiry(ultrium, 1, 0xC0, page.data(), 40), 40);  // allocation length rules

    scsi_device other = open_drive(1);
    page.fill(0);
    ASSERT_EQ(scsi_inquiry(other, 1, 0xC0, page.data(), 256), 96);
    EXPECT_EQ(bytes_at(page, 4, 30), std::string(1, '\0') + "FW = 1.10                " + std::string(1, '\0'));
    EXPECT_EQ(bytes_at(page, 72, 95), std::string(1, '\0') + "HW_CONF = 0x0320     " + std::string(2, '\0'));
    EXPECT_EQ(scsi_inquiry(other, 1, 0xC1, page.data(), 96), -1);  // no page C1h in this layout
    EXPECT_EQ(other.scsi_status, scsi_status_check_condition);
    EXPECT_EQ(other.sense_key, 0x05);
    EXPECT_EQ(other.asc_ascq, 0x2400);

    // The unit serial number: "KV" and the address unless the bus file names
    // one; an empty one is a drive without the page.
    ASSERT_EQ(scsi_inquiry(other, 1, 0x80, page.data(), 255), 14);
    EXPECT_EQ(bytes_at(page, 0, 13), std::string("\0\x80\0\x0a", 4) + "KV00000001");
}

TEST(SimDrive, SerialNumberPageAsTheBusFileSays) {
    sim_json named = ultrium_drive(0, "2.05", "0x00a4");
    named["serial"] = "HU1234ABCD";
    sim_json without = ultrium_drive(1, "2.05", "0x00a4");
    without["serial"] = "";
    installed_bus installed(bus_of({named, without}));
    std::array<std::uint8_t, 256> page{};
    scsi_device first = open_drive(0);
    ASSERT_EQ(scsi_inquiry(first, 1, 0x80, page.data(), 255), 14);
    EXPECT_EQ(bytes_at(page, 3, 13), std::string("\x0a", 1) + "HU1234ABCD");
    scsi_device second = open_drive(1);
    EXPECT_EQ(scsi_inquiry(second, 1, 0x80, page.data(), 255), -1);
    EXPECT_EQ(second.sense_key, 0x05);
    EXPECT_EQ(second.asc_ascq, 0x2400);
}

TEST(SimDrive, ServesRawBytesInsteadOfBuiltData) {
    sim_json drive = ultrium_drive(0, "2.05", "0x00a4");
    drive["standard_hex"] = "08 00 00";
    drive["c0_hex"] = "00C0 0000 41";
    drive["c1_hex"] = "";
    installed_bus installed(bus_of({drive}));
    scsi_device device = open_drive(0);
    std::array<std::uint8_t, 256> data{};
    ASSERT_EQ(scsi_inquiry(device, 0, 0, data.data(), 256), 3);
    EXPECT_EQ(data[0], 0x08);
    ASSERT_EQ(scsi_inquiry(device, 1, 0xC0, data.data(), 96), 5);
    EXPECT_EQ(data[4], 'A');
    EXPECT_EQ(scsi_inquiry(device, 1, 0xC1, data.data(), 96), 0);  // GOOD, no bytes
    EXPECT_EQ(device.scsi_status, scsi_status_good);
}

TEST(SimDrive, AnswersDensitySupportSenseAndReadBuffer) {
    sim_json not_lto = ultrium_drive(1, "2.05", "0x00a4");
    not_lto["lto"] = false;
    installed_bus installed(bus_of({ultrium_drive(0, "2.05", "0x00a4"), not_lto}));
    std::array<std::uint8_t, 256> data{};

    scsi_device lto = open_drive(0);
    ASSERT_EQ(scsi_report_density_support(lto, 0, 0, data.data(), 256), 56);
    EXPECT_EQ(bytes_at(data, 20, 27), "LTO-CVE ");
    EXPECT_EQ(scsi_report_density_support(lto, 0, 0, data.data(), 24), 24);
    scsi_device other = open_drive(1);
    ASSERT_EQ(scsi_report_density_support(other, 0, 0, data.data(), 56), 56);
    EXPECT_EQ(bytes_at(data, 20, 27), "KV      ");

    // An unknown command is refused; REQUEST SENSE hands its sense over once.
    scsi_request load{};
    load.device = &lto;
    load.cdb = {0x1B, 0, 0, 0, 1, 0};
    load.cdb_length = 6;
    load.direction = scsi_no_data;
    EXPECT_EQ(scsi_execute(load), -1);
    EXPECT_EQ(lto.sense_key, 0x05);
    EXPECT_EQ(lto.asc_ascq, 0x2000);
    EXPECT_EQ(lto.sense_length, 18);
    data.fill(0xAA);
    ASSERT_EQ(scsi_request_sense(lto, data.data(), 56), 18);
    EXPECT_EQ(data[0], 0x70);
    EXPECT_EQ(data[2], 0x05);
    EXPECT_EQ(data[12], 0x20);
    EXPECT_EQ(data[18], 0xAA);
    ASSERT_EQ(scsi_request_sense(lto, data.data(), 56), 18);
    EXPECT_EQ(data[2], 0x00);
    EXPECT_EQ(data[12], 0x00);

    data.fill(0xAA);
    ASSERT_EQ(scsi_read_buffer(lto, data.data(), 1, 1, 256, 48), 48);
    EXPECT_EQ(bytes_at(data, 0, 47), std::string(48, '\0'));
    EXPECT_EQ(data[48], 0xAA);
}

TEST(SimDrive, CommandsReachTheDriveWhateverCardAndLun) {
    installed_bus installed(bus_of({ultrium_drive(7, "2.05", "0x00a4")}));
    scsi_device device{};
    device.card = 3;
    device.address = 7;
    device.lun = 5;
    ASSERT_EQ(scsi_open(device), 0);
    EXPECT_EQ(scsi_test_unit_ready(device), 0);
    scsi_device copy = device;
    scsi_close(device);
    // A copy of a closed handle reaches nothing, as on the real pass-through.
    EXPECT_EQ(scsi_test_unit_ready(copy), -1);
    EXPECT_EQ(copy.host_status, 0xFF);
    EXPECT_EQ(copy.scsi_status, 0xFF);
}

}  // namespace
