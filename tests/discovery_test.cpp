// The bus scan and the page readers against drives of the simulated bus; the
// trace shows what the scan did to each device.
#include "inventory/discovery.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "support/sim_bus_builder.h"
#include "support/test_support.h"

namespace {

using namespace test_support;
using json = sim_json;

// Hex text of a 96-byte page with `text` at each offset, the way a raw page
// is given in a bus file.
std::string raw_page(std::initializer_list<std::pair<std::size_t, std::string>> texts, std::uint8_t byte0 = 0,
                     std::uint8_t byte1 = 0) {
    std::string page(96, '\0');
    page[0] = static_cast<char>(byte0);
    page[1] = static_cast<char>(byte1);
    for (const auto& [offset, text] : texts) page.replace(offset, text.size(), text);
    std::string hex;
    for (unsigned char c : page) {
        char pair[4];
        std::snprintf(pair, sizeof pair, "%02x ", c);
        hex += pair;
    }
    return hex;
}

bool ends_with(const std::string& text, const std::string& ending) {
    return text.size() >= ending.size() && text.compare(text.size() - ending.size(), ending.size(), ending) == 0;
}

// A drive's refusal of a page or buffer it does not have: CHECK CONDITION,
// ILLEGAL REQUEST, INVALID FIELD IN CDB.
json refused(const std::string& cdb) {
    json rule = fault(cdb, "check");
    rule["sense"] = "05 24 00";
    return rule;
}

class SimulatedScan : public ::testing::Test {
protected:
    // Installs a bus of the given drives and scans it.
    int scan(const json& drives) {
        installed_.reset();  // one bus installed at a time
        installed_ = std::make_unique<installed_bus>(bus_of(drives.get<std::vector<json>>()));
        unexamined_.clear();
        passed_over_.clear();
        return discover_drives(*table_, &unexamined_, &passed_over_);
    }
    std::filesystem::path trace_path() const { return installed_->trace_file(); }
    const drive_record& slot(std::size_t i) const { return (*table_)[i]; }

    // Addresses of the devices that opened, and of those closed, in order.
    std::vector<std::uint32_t> opened() const { return addresses("open ", " ok"); }
    std::vector<std::uint32_t> closed() const { return addresses("close ", ""); }
    std::vector<std::uint32_t> addresses(const std::string& prefix, const std::string& ending) const {
        std::vector<std::uint32_t> found;
        for (const std::string& line : trace_lines(trace_path(), prefix)) {
            if (!ends_with(line, ending)) continue;
            found.push_back(static_cast<std::uint32_t>(std::stoul(line.substr(prefix.size()))));
        }
        return found;
    }
    // The most devices open at one time.
    int most_open() const {
        int open = 0, most = 0;
        for (const std::string& line : trace_lines(trace_path())) {
            if (line.rfind("open ", 0) == 0 && ends_with(line, " ok")) most = std::max(most, ++open);
            if (line.rfind("close ", 0) == 0) --open;
        }
        return most;
    }
    // TEST UNIT READY commands sent to the device at `address` (-1: to any).
    long test_unit_ready(int address = -1) const {
        const std::vector<std::string> cdbs = traced_cdbs(trace_path(), address);
        return std::count(cdbs.begin(), cdbs.end(), "000000000000");
    }
    // Commands sent with another timeout than the scan's 100 seconds.
    long wrong_timeouts() const {
        const std::vector<std::string> execs = trace_lines(trace_path(), "exec ");
        return std::count_if(execs.begin(), execs.end(),
                             [](const std::string& line) { return line.find(" timeout=100 ") == std::string::npos; });
    }

    std::unique_ptr<installed_bus> installed_;
    std::unique_ptr<drive_table> table_ = std::make_unique<drive_table>();
    std::vector<unexamined_device> unexamined_;
    std::vector<passed_over_device> passed_over_;
};

TEST_F(SimulatedScan, TakesTheMakersDrivesInAddressOrder) {
    const json drives = json::array({
        ultrium_drive(3, "2.05", "0x00a4"),
        {{"address", 5}, {"device_type", 0}, {"product", "ULTRIUM DISK"}},           // disk of the maker
        {{"address", 6}, {"device_type", 8}, {"product", "ULTRIUM CHANGER"}},        // medium changer
        other_drive(7, "KTR320", "1.10", "0x0320"),
        {{"address", 9}, {"open", "fail"}},
        {{"address", 11}, {"vendor", "k-v"}, {"firmware", "3"}, {"hw_config", "11"}},
        {{"address", 12}, {"vendor", " K V"}, {"firmware", "4"}, {"hw_config", "12"}},
        {{"address", 13}, {"vendor", "KVX"}},
        {{"address", 14}, {"inquiry_number", ""}},                                   // Ultrium without a number
        {{"address", 15}, {"product", "lto Ultrium 8"}, {"firmware", "5"}},
        {{"address", 16}, {"qualifier", 3}, {"firmware", "6"}},                      // the qualifier does not count
    });
    EXPECT_EQ(scan(drives), 6);
    const std::uint32_t addresses[] = {3, 7, 11, 12, 15, 16};
    for (std::size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(slot(i).in_use, 1) << i;
        EXPECT_EQ(slot(i).device.address, addresses[i]) << i;
    }
    EXPECT_EQ(slot(6).in_use, 0);
    EXPECT_EQ(slot(0).drive_id, 0xA4u);
    EXPECT_DOUBLE_EQ(slot(0).fw_version, 2.05);
    EXPECT_EQ(slot(1).drive_id, 0x320u);
    EXPECT_DOUBLE_EQ(slot(1).fw_version, 1.10);
    EXPECT_EQ(text_of(slot(2).vendor_id), "k-v");   // the record keeps the drive's own text
    EXPECT_EQ(slot(2).drive_id, 0x11u);
    EXPECT_EQ(text_of(slot(3).vendor_id), "K V");
    EXPECT_EQ(text_of(slot(4).product_id), "lto Ultrium 8");
    EXPECT_EQ(slot(5).peripheral_qualifier, 3);
}

TEST_F(SimulatedScan, EveryOpenedDeviceGetsFiveTestUnitReadyAndIsClosed) {
    scan(json::array({
        {{"address", 0}},
        {{"address", 1}, {"device_type", 0}},
        {{"address", 2}, {"open", "fail"}},
    }));
    const std::vector<std::string> opens = trace_lines(trace_path(), "open ");
    ASSERT_EQ(opens.size(), 256u);  // every address of card 0 is tried
    EXPECT_EQ(opens[0], "open 0 ok");
    EXPECT_EQ(opens[2], "open 2 fail");
    EXPECT_EQ(trace_lines(trace_path(), "close "), (std::vector<std::string>{"close 0", "close 1"}));
    EXPECT_EQ(test_unit_ready(), 10);
    EXPECT_EQ(wrong_timeouts(), 0);
}

TEST_F(SimulatedScan, FailedPagesStillTakeTheDrive) {
    const json drives = json::array({
        {{"address", 1}, {"hw_config", "0x77"}, {"faults", {refused("12 01 c0")}}},
        {{"address", 2}, {"firmware", "9.5"}, {"faults", {{{"cdb", "12 01 c1"}, {"reply", "host"}, {"error", "io"}}}}},
        {{"address", 3}, {"faults", {{{"cdb", "12 01"}, {"reply", "busy"}}}}},
        {{"address", 4}, {"layout", "other"}, {"product", "KTR320"},
         {"faults", {{{"cdb", "12 01 c0"}, {"reply", "short"}, {"moved", 0}}}}},
    });
    EXPECT_EQ(scan(drives), 4);
    EXPECT_EQ(slot(0).drive_id, 0x77u);      // page C1h stands alone
    EXPECT_TRUE(slot(0).drive_id_read);
    EXPECT_EQ(slot(0).fw_version, 0.0);
    EXPECT_EQ(slot(1).drive_id, 0u);
    EXPECT_DOUBLE_EQ(slot(1).fw_version, 9.5);
    EXPECT_TRUE(slot(1).fw_version_read);
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(slot(i).in_use, 1) << i;
        EXPECT_FALSE(is_identified(slot(i))) << i;
        // Taken drives keep their own address, pages or no pages.
        EXPECT_EQ(slot(i).device.address, i + 1) << i;
    }
    for (std::size_t i = 2; i < 4; ++i) {
        EXPECT_EQ(slot(i).drive_id, 0u) << i;
        EXPECT_EQ(slot(i).fw_version, 0.0) << i;
    }
}

// A serial number two drives answer, or one cut short, tells no drive
// apart: the drives have none for the run.
TEST_F(SimulatedScan, SerialNumbersThatTellNoDriveApartAreNone) {
    const json drives = json::array({
        {{"address", 0}, {"serial", "DUP1"}},
        {{"address", 1}, {"serial", "HU2"}},
        {{"address", 2}, {"serial", "DUP1"}},
        {{"address", 3}, {"serial", "HU1234ABCD"}, {"faults", {{{"cdb", "12 01 80"}, {"reply", "short"}, {"moved", 8}}}}},
    });
    ASSERT_EQ(scan(drives), 4);
    const char* serials[] = {"", "HU2", "", ""};
    const char* shared[] = {"DUP1", "", "DUP1", ""};
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(text_of(slot(i).serial), serials[i]) << i;
        EXPECT_EQ(text_of(slot(i).shared_serial), shared[i]) << i;
        EXPECT_EQ(slot(i).serial_cut, i == 3) << i;
        EXPECT_TRUE(is_identified(slot(i))) << i;  // otherwise known whole
    }
}

TEST_F(SimulatedScan, FailedStandardInquiryIsJudgedOnAFreshSlot) {
    // Address 1 is not taken and leaves its answers in slot 0; address 2,
    // whose standard INQUIRY fails, must not be taken on them.
    const json no_config = refused("3c");
    const json drives = json::array({
        {{"address", 1}, {"layout", "other"}, {"product", "KTR320"}, {"c0_hex", raw_page({{5, "FW = 1.0"}}, 0, 0xC0)},
         {"faults", {no_config}}},
        {{"address", 2}, {"layout", "other"}, {"product", "KTR320"},
         {"faults", {refused("12 00")}}},
    });
    EXPECT_EQ(scan(drives), 0);
    EXPECT_EQ(count_in_use(*table_), 0);
}

TEST_F(SimulatedScan, IdentifyDriveConfigDecides) {
    const json no_config = refused("3c");
    const json drives = json::array({
        // Neither "HW_CONF" at 73 nor "HW_CONF = " anywhere, and no vendor buffer.
        {{"address", 1}, {"layout", "other"}, {"product", "KTR320"}, {"c0_hex", raw_page({{5, "FW = 1.0"}}, 0, 0xC0)},
         {"faults", {no_config}}},
        // The configuration text elsewhere in the page is enough.
        {{"address", 2}, {"layout", "other"}, {"product", "KTR320"},
         {"c0_hex", raw_page({{5, "FW = 1.5"}, {40, "HW_CONF = 0x40"}}, 0, 0xC0)}, {"faults", {no_config}}},
    });
    EXPECT_EQ(scan(drives), 1);
    EXPECT_EQ(slot(0).device.address, 2u);
    EXPECT_DOUBLE_EQ(slot(0).fw_version, 1.5);
    EXPECT_EQ(slot(0).drive_id, 0u);  // the variant field at 73 holds no "="
}

TEST_F(SimulatedScan, RawPages) {
    const json drives = json::array({
        {{"address", 0},
         {"standard_hex", raw_page({{8, std::string("KV\0XYZ  ", 8)}, {16, " ULTRIUM-HH7    "}, {32, "9.99"}, {47, "12 "}}, 0x01)},
         {"c0_hex", raw_page({{30, "FW =       2.0512349"}}, 0, 0xC0)},
         {"c1_hex", raw_page({{73, "HW_CONF =  0x00b7"}}, 0, 0xC1)}},
        {{"address", 2},
         {"layout", "other"},
         {"standard_hex", raw_page({{8, "kv      "}, {16, "KTR320"}}, 0x21)},
         {"c0_hex", raw_page({{4, "=9.9 FW = 1.25"}, {73, "HW_CONF =     0x12345FF"}}, 0, 0xC0)}},
    });
    EXPECT_EQ(scan(drives), 2);
    EXPECT_EQ(text_of(slot(0).vendor_id), "KV");     // ends at the zero byte
    EXPECT_EQ(text_of(slot(0).product_id), "ULTRIUM-HH7");
    EXPECT_EQ(slot(0).inquiry_number, 12);
    EXPECT_DOUBLE_EQ(slot(0).fw_version, 2.051234);  // the field ends at byte 48
    EXPECT_EQ(slot(0).drive_id, 0xB7u);
    EXPECT_EQ(slot(1).device.address, 2u);
    EXPECT_EQ(slot(1).peripheral_qualifier, 1);
    EXPECT_DOUBLE_EQ(slot(1).fw_version, 1.25);      // the field begins at byte 5
    EXPECT_EQ(slot(1).drive_id, 0x12345u);           // and the variant ends at byte 93
}

TEST_F(SimulatedScan, NoMoreThanTwentyThreeDrives) {
    json drives = json::array();
    for (int address = 100; address < 130; ++address) drives.push_back({{"address", address}, {"hw_config", std::to_string(address)}});
    EXPECT_EQ(scan(drives), 23);
    EXPECT_EQ(count_in_use(*table_), 23);
    EXPECT_EQ(slot(22).device.address, 122u);
    EXPECT_EQ(slot(22).drive_id, 0x122u);
}

TEST_F(SimulatedScan, NoDriveGivesAnEmptyTable) {
    (*table_)[0].in_use = 1;  // a table from an earlier scan
    EXPECT_EQ(scan(json::array()), 0);
    EXPECT_EQ(count_in_use(*table_), 0);
    EXPECT_TRUE(opened().empty());
}

TEST_F(SimulatedScan, ReadsOneDeviceAtATimeAndClosesEach) {
    const json drives = json::array({
        ultrium_drive(3, "2.05", "0x00a4"),
        {{"address", 5}, {"device_type", 0}, {"product", "ULTRIUM"}},  // a disk of the maker
        {{"address", 6}, {"open", "fail"}},
        other_drive(7, "KTR320", "1.10", "0x0320"),
    });
    EXPECT_EQ(scan(drives), 2);
    EXPECT_EQ(slot(0).in_use, 1);
    EXPECT_EQ(slot(0).device.address, 3u);
    EXPECT_EQ(slot(0).drive_id, 0xA4u);
    EXPECT_DOUBLE_EQ(slot(0).fw_version, 2.05);
    EXPECT_EQ(text_of(slot(0).product_id), "ULTRIUM-HH6");
    EXPECT_EQ(slot(1).in_use, 1);
    EXPECT_EQ(slot(1).device.address, 7u);
    EXPECT_EQ(slot(1).drive_id, 0x320u);
    EXPECT_DOUBLE_EQ(slot(1).fw_version, 1.10);
    EXPECT_EQ(slot(2).in_use, 0);

    // Every device that opened was closed again, one at a time, after five
    // TEST UNIT READY; the device that did not open was not closed.
    EXPECT_EQ(opened(), (std::vector<std::uint32_t>{3, 5, 7}));
    EXPECT_EQ(closed(), opened());
    EXPECT_EQ(most_open(), 1);
    for (std::uint32_t address : opened()) EXPECT_EQ(test_unit_ready(static_cast<int>(address)), 5) << address;
    EXPECT_EQ(wrong_timeouts(), 0);
}

TEST_F(SimulatedScan, DecisionTable) {
    struct row {
        const char* why;
        json drive;
        bool taken;
        // Why a device not taken is listed: the maker's device passed over,
        // or one that could not be examined; none for one nobody needs told of.
        finding_cause cause = finding_cause::none;
    };
    const auto ultrium = [](const json& keys) {
        json drive = ultrium_drive(9, "2", "1");
        drive.update(keys);
        return drive;
    };
    json disk = other_drive(9, "KTR320", "1", "1");
    disk["device_type"] = 0;
    json no_hw_conf = other_drive(9, "KTR320", "1", "1");
    no_hw_conf.update({{"c0_hex", raw_page({{5, "FW = 1"}, {73, "XX"}}, 0, 0xC0)}, {"faults", {refused("3c")}}});
    json no_page_c0 = other_drive(9, "KTR320", "1", "1");
    no_page_c0["faults"] = {refused("12 01 c0")};
    json other_vendor_no_page_c0 = no_page_c0;
    other_vendor_no_page_c0["vendor"] = "ACME";
    json busy_page_c0 = other_drive(9, "KTR320", "1", "1");
    busy_page_c0["faults"] = {fault("12 01 c0", "busy")};
    const row rows[] = {
        {"Ultrium of the maker", ultrium(json::object()), true},
        {"short vendor spelling with hyphen", ultrium({{"vendor", "k-v"}}), true},
        {"vendor with inner space", ultrium({{"vendor", " K V"}}), true},
        {"other vendor", ultrium({{"vendor", "KVX"}}), false},
        {"ultrium in lower case inside", ultrium({{"product", "lto ultrium 7"}}), true},
        {"Ultrium without inquiry number", ultrium({{"inquiry_number", "  "}}), false,
         finding_cause::no_inquiry_number},
        {"Ultrium with negative inquiry number", ultrium({{"inquiry_number", "-4"}}), false,
         finding_cause::no_inquiry_number},
        {"medium changer", ultrium({{"device_type", 8}}), false},
        {"disk", disk, false},
        {"other family with configuration", other_drive(9, "KTR320", "1.1", "0x10"), true},
        {"other family without configuration", no_hw_conf, false, finding_cause::no_vendor_buffer},
        {"other family without page C0h", no_page_c0, false, finding_cause::no_page_c0},
        {"another vendor's drive without page C0h", other_vendor_no_page_c0, false},
        {"page C0h busy throughout", busy_page_c0, false, finding_cause::no_answer},
        {"held by another program", ultrium({{"open", "fail"}}), false, finding_cause::open_held},
        {"opening refused for lack of rights", ultrium({{"open", "denied"}}), false, finding_cause::open_denied},
    };
    for (const row& r : rows) {
        EXPECT_EQ(scan(json::array({r.drive})), r.taken ? 1 : 0) << r.why;
        EXPECT_EQ(slot(0).in_use, r.taken ? 1 : 0) << r.why;
        const bool unexaminable = r.cause == finding_cause::open_held || r.cause == finding_cause::open_denied ||
                                  r.cause == finding_cause::no_answer;
        const bool passed_over = r.cause != finding_cause::none && !unexaminable;
        ASSERT_EQ(unexamined_.size(), unexaminable ? 1u : 0u) << r.why;
        ASSERT_EQ(passed_over_.size(), passed_over ? 1u : 0u) << r.why;
        if (unexaminable) {
            EXPECT_EQ(unexamined_[0].address, 9u) << r.why;
            EXPECT_EQ(unexamined_[0].cause, r.cause) << r.why;
        }
        if (passed_over) {
            EXPECT_EQ(passed_over_[0].address, 9u) << r.why;
            EXPECT_EQ(passed_over_[0].cause, r.cause) << r.why;
            EXPECT_EQ(text_of(passed_over_[0].vendor_id), r.drive.value("vendor", "KV")) << r.why;
            EXPECT_EQ(text_of(passed_over_[0].product_id), r.drive.value("product", "ULTRIUM-HH6")) << r.why;
        }
    }
}

TEST_F(SimulatedScan, UltriumWithoutVendorPagesIsTakenUnidentified) {
    json drive = ultrium_drive(4, "2.05", "0x00a4");
    drive["faults"] = {refused("12 01")};
    EXPECT_EQ(scan(json::array({drive})), 1);
    EXPECT_EQ(slot(0).in_use, 1);
    EXPECT_EQ(slot(0).drive_id, 0u);
    EXPECT_EQ(slot(0).fw_version, 0.0);
    EXPECT_EQ(slot(0).device.address, 4u);  // its own address, pages or no pages
    EXPECT_FALSE(is_identified(slot(0)));
}

TEST_F(SimulatedScan, InquiryLostByTheHostIsJudgedOnAFreshSlot) {
    // As a refused standard INQUIRY above, with the host losing the command.
    json unconfigured = other_drive(1, "KTR320", "1", "1");
    unconfigured.update({{"c0_hex", raw_page({{5, "FW = 1"}, {73, "XX"}}, 0, 0xC0)}, {"faults", {refused("3c")}}});
    json silent = other_drive(2, "KTR320", "1", "1");
    silent["faults"] = {fault("12 00", "host")};
    silent["faults"][0]["error"] = "io";
    EXPECT_EQ(scan(json::array({unconfigured, silent})), 0);
    EXPECT_EQ(count_in_use(*table_), 0);
}

TEST_F(SimulatedScan, OpensNothingAfterTheTwentyThirdDrive) {
    json drives = json::array();
    for (int address = 10; address < 40; ++address) {
        drives.push_back(ultrium_drive(address, "1", std::to_string(address)));
    }
    EXPECT_EQ(scan(drives), 23);
    EXPECT_EQ(count_in_use(*table_), 23);
    EXPECT_EQ(slot(22).device.address, 32u);
    EXPECT_EQ(opened().back(), 32u);  // nothing beyond the last drive taken is opened
    EXPECT_EQ(closed(), opened());
}

}  // namespace
