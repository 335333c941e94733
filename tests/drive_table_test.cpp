#include "inventory/drive_table.h"

#include <gtest/gtest.h>

#include <memory>

#include "support/capture.h"

namespace {

using test_support::capture_stdout;

std::unique_ptr<drive_table> empty_table() { return std::make_unique<drive_table>(); }

TEST(DriveTable, EmptyTableDumpsNone) {
    auto table = empty_table();
    (*table)[4].drive_id = 0x55;  // data in a free slot is never printed
    EXPECT_EQ(count_in_use(*table), 0);
    EXPECT_EQ(capture_stdout([&] { dump_table(*table); }), "None\n");
}

TEST(DriveTable, DumpFormats) {
    auto table = empty_table();
    drive_record& first = (*table)[0];
    first.in_use = 1;
    first.drive_id = 0x1234;
    first.peripheral_qualifier = 1;
    first.peripheral_device_type = 1;
    copy_text(first.vendor_id, "KV");
    copy_text(first.product_id, "ULTRIUM-HH6");
    first.fw_version = 2.0;
    copy_text(first.firmware_file, "DRIVE.BIN");
    copy_text(first.action, "  upgrade ");

    drive_record& third = (*table)[2];
    third.in_use = 1;
    third.fw_version = 1.5;
    copy_text(third.action, "   ");

    const std::string expected =
        "i = 0, Drive ID = 0x001234\n"
        "\tPeripheral Qualifier = 1, Peripheral Device Type = 1 \n"
        "\tVendorID = KV, ProductID = ULTRIUM-HH6\n"
        "\tFw Version = 2 Fw File = DRIVE.BIN\n"
        "\tAction = upgrade\n"
        "i = 2, Drive ID = 00000000\n"
        "\tPeripheral Qualifier = 0, Peripheral Device Type = 0 \n"
        "\tVendorID = , ProductID = \n"
        "\tFw Version = 1.5 Fw File = \n";
    EXPECT_EQ(capture_stdout([&] { dump_table(*table); }), expected);
    EXPECT_EQ(count_in_use(*table), 2);
    // Dumping changes nothing: whether an action is flashed must not depend on /s.
    EXPECT_EQ(text_of(first.action), "  upgrade ");
    EXPECT_EQ(text_of(third.action), "   ");
}

TEST(DriveTable, LargeIdsKeepAllDigits) {
    auto table = empty_table();
    (*table)[0].in_use = 1;
    (*table)[0].drive_id = 0xdeadbeef;
    EXPECT_EQ(capture_stdout([&] { dump_table(*table); }).substr(0, 29), "i = 0, Drive ID = 0xdeadbeef\n");
}

TEST(DriveTable, ClearZeroesEverything) {
    auto table = empty_table();
    (*table)[22].in_use = 1;
    (*table)[22].device.address = 9;
    copy_text((*table)[22].product_id, "KTR320");
    clear_table(*table);
    EXPECT_EQ(count_in_use(*table), 0);
    EXPECT_EQ((*table)[22].device.address, 0u);
    EXPECT_EQ(text_of((*table)[22].product_id), "");
}

}  // namespace
