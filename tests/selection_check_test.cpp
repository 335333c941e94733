#include "upgrade/selection_check.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>

#include "support/sim_bus_builder.h"
#include "support/capture.h"
#include "support/test_support.h"

namespace {

using namespace test_support;

drive_record& select(drive_table& table, std::size_t slot, std::uint32_t address, std::uint32_t drive_id,
                     const char* action, const char* product = "ULTRIUM-HH6") {
    drive_record& record = table[slot];
    record.in_use = 1;
    record.device.address = address;
    record.drive_id = drive_id;
    record.fw_version = 1.0;  // what the document claims the drive runs
    copy_text(record.product_id, product);
    copy_text(record.action, action);
    return record;
}

bool opened(const std::filesystem::path& trace, int address) {
    const auto lines = trace_lines(trace, "open " + std::to_string(address) + " ");
    return !lines.empty();
}

TEST(SelectionCheck, EveryDriveToBeFlashedMustStillBeAtItsAddress) {
    scratch_dir dir;
    std::filesystem::create_directories(dir / "drive/vtxsystem/log");
    scoped_env systemdrive("systemdrive", (dir / "drive").string().c_str());
    sim_bus bus;
    bus.add(ultrium_drive(0, "2.05", "0x00a4"));
    bus.add(other_drive(3, "KTR320", "1.10", "0x0320"));
    bus.add(ultrium_drive(5, "2.05", "0x00a4"))["vendor"] = "OTHERCO";  // not one of the maker's drives
    bus.add(ultrium_drive(6, "2.05", "0x00a4"))["product"] = "ULTRIUM-HH8";
    bus.add(ultrium_drive(8, "2.05", "0x00a4"))["open"] = "fail";
    bus.add(ultrium_drive(12, "2.05", "0x00a4"))["faults"] = {fault("12 01 c0", "busy")};
    installed_bus installed(bus);

    auto table = std::make_unique<drive_table>();
    select(*table, 0, 0, 0xa4, "upgrade", "  ULTRIUM-HH6 ");  // still there
    select(*table, 1, 3, 0xbeef, "rewrite", "KTR320");       // another drive answers
    select(*table, 2, 7, 0xa4, "downgrade");                 // nothing answers
    select(*table, 3, 5, 0xa4, "upgrade");                   // a device, but not a drive of the maker
    select(*table, 4, 9, 0x1, "skip");                       // not flashed: not asked
    select(*table, 5, 10, 0x1, "UPGRADE");                   // flashing skips it too
    select(*table, 6, 11, 0x1, "upgrade").in_use = 0;
    select(*table, 7, 3, 0x320, "upgrade", "KTR320").device.card = 4;  // card and lun come from the document
    select(*table, 8, 6, 0xa4, "upgrade");                   // same ID, another product
    select(*table, 9, 8, 0xa4, "upgrade");                   // held by another program
    select(*table, 10, 12, 0xa4, "upgrade");                 // its version cannot be read
    select(*table, 11, 3, 0x320, "upgrade", "ULTRIUM-HH6");  // a document claiming another product
    select(*table, 12, 3, 0x320, "upgrade", "KTR\x1b[2J320\x80");  // quoted escaped, never sent to the terminal

    int mismatches = -1;
    const std::string out = capture_stdout([&] { mismatches = check_selected_drives(*table); });
    const std::string expected =
        "Drive at device 3 does not match the document: expected Drive ID 0x00beef, Product ID KTR320, found "
        "Drive ID 0x000320, Product ID KTR320\n"
        "Drive at device 7 does not match the document: expected Drive ID 0x0000a4, Product ID ULTRIUM-HH6, found "
        "no drive\n"
        "Drive at device 5 does not match the document: expected Drive ID 0x0000a4, Product ID ULTRIUM-HH6, found "
        "no drive\n"
        "Drive at device 6 does not match the document: expected Drive ID 0x0000a4, Product ID ULTRIUM-HH6, found "
        "Drive ID 0x0000a4, Product ID ULTRIUM-HH8\n"
        "Drive at device 8 does not match the document: expected Drive ID 0x0000a4, Product ID ULTRIUM-HH6, found "
        "a device that could not be examined\n"
        "Drive at device 12 does not match the document: expected Drive ID 0x0000a4, Product ID ULTRIUM-HH6, found "
        "Product ID ULTRIUM-HH6, which could not be identified\n"
        "Drive at device 3 does not match the document: expected Drive ID 0x000320, Product ID ULTRIUM-HH6, found "
        "Drive ID 0x000320, Product ID KTR320\n"
        "Drive at device 3 does not match the document: expected Drive ID 0x000320, Product ID KTR\\x1b[2J320\\x80, "
        "found Drive ID 0x000320, Product ID KTR320\n";
    EXPECT_EQ(mismatches, 8);
    EXPECT_EQ(out, expected);
    // The log alone says why the drive at 12 could not be identified.
    std::string expected_log = expected;
    const std::string unidentified = "which could not be identified\n";
    expected_log.insert(expected_log.find(unidentified) + unidentified.size(), "SCSI INQUIRY page C0h on device 12: BUSY\n");
    EXPECT_EQ(read_file(dir / "drive/vtxsystem/log/vtxsetup.log"), expected_log);

    // A drive that matches is described by what it reported, not by the document.
    EXPECT_EQ(text_of((*table)[0].product_id), "ULTRIUM-HH6");
    EXPECT_EQ((*table)[0].fw_version, 2.05);
    EXPECT_EQ((*table)[7].fw_version, 1.10);
    EXPECT_EQ((*table)[4].fw_version, 1.0);  // not asked for a flash, not looked at

    EXPECT_FALSE(opened(installed.trace_file(), 9));
    EXPECT_FALSE(opened(installed.trace_file(), 10));
    EXPECT_FALSE(opened(installed.trace_file(), 11));
    const auto cdbs = traced_cdbs(installed.trace_file());
    EXPECT_TRUE(std::none_of(cdbs.begin(), cdbs.end(), [](const std::string& cdb) { return cdb.rfind("3b", 0) == 0; }));
    const auto execs = trace_lines(installed.trace_file(), "exec 3 ");
    EXPECT_TRUE(std::any_of(execs.begin(), execs.end(),
                            [](const std::string& line) { return line.find("path=4 ") != std::string::npos; }));
}

TEST(SelectionCheck, MatchingSelectionPassesQuietly) {
    scratch_dir dir;
    scoped_env systemdrive("systemdrive", (dir / "none").string().c_str());
    installed_bus installed(bus_of({ultrium_drive(2, "2.05", "0x00a4")}));

    auto table = std::make_unique<drive_table>();
    select(*table, 0, 2, 0xa4, "upgrade");
    select(*table, 1, 2, 0xa4, "rewrite");
    int mismatches = -1;
    EXPECT_EQ(capture_stdout([&] { mismatches = check_selected_drives(*table); }), "");
    EXPECT_EQ(mismatches, 0);
}

}  // namespace
