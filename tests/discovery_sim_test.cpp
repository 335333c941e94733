// The bus scan and the page readers against drives of the simulated bus,
// and the program's table dumps over such a bus.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "inventory/discovery.h"
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

class SimulatedScan : public ::testing::Test {
protected:
    // Installs a bus of the given drives and scans it.
    int scan(const json& drives) {
        installed_.reset();  // one bus installed at a time
        installed_ = std::make_unique<installed_bus>(bus_of(drives.get<std::vector<json>>()));
        return discover_drives(*table_);
    }
    std::filesystem::path trace_path() const { return installed_->trace_file(); }
    const drive_record& slot(std::size_t i) const { return (*table_)[i]; }

    std::unique_ptr<installed_bus> installed_;
    std::unique_ptr<drive_table> table_ = std::make_unique<drive_table>();
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
    const std::vector<std::string> closes = trace_lines(trace_path(), "close ");
    int test_unit_ready = 0, wrong_timeout = 0;
    for (const std::string& line : trace_lines(trace_path(), "exec ")) {
        if (line.find(" cdb=000000000000 ") != std::string::npos) ++test_unit_ready;
        if (line.find(" timeout=100 ") == std::string::npos) ++wrong_timeout;
    }
    ASSERT_EQ(opens.size(), 256u);  // every address of card 0 is tried
    EXPECT_EQ(opens[0], "open 0 ok");
    EXPECT_EQ(opens[2], "open 2 fail");
    EXPECT_EQ(closes, (std::vector<std::string>{"close 0", "close 1"}));
    EXPECT_EQ(test_unit_ready, 10);
    EXPECT_EQ(wrong_timeout, 0);
}

TEST_F(SimulatedScan, FailedPagesStillTakeTheDrive) {
    const json drives = json::array({
        {{"address", 1}, {"hw_config", "0x77"}, {"faults", {{{"cdb", "12 01 c0"}, {"reply", "check"}, {"sense", "05 24 00"}}}}},
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

TEST_F(SimulatedScan, FailedStandardInquiryIsJudgedOnAFreshSlot) {
    // Address 1 is not taken and leaves its answers in slot 0; address 2,
    // whose standard INQUIRY fails, must not be taken on them.
    const json no_config = {{"cdb", "3c"}, {"reply", "check"}, {"sense", "05 24 00"}};
    const json drives = json::array({
        {{"address", 1}, {"layout", "other"}, {"product", "KTR320"}, {"c0_hex", raw_page({{5, "FW = 1.0"}}, 0, 0xC0)},
         {"faults", {no_config}}},
        {{"address", 2}, {"layout", "other"}, {"product", "KTR320"},
         {"faults", {{{"cdb", "12 00"}, {"reply", "check"}, {"sense", "05 24 00"}}}}},
    });
    EXPECT_EQ(scan(drives), 0);
    EXPECT_EQ(count_in_use(*table_), 0);
}

TEST_F(SimulatedScan, IdentifyDriveConfigDecides) {
    const json no_config = {{"cdb", "3c"}, {"reply", "check"}, {"sense", "05 24 00"}};
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

// The program end to end on a bus of several drives.
class SimulatedProgram : public ::testing::Test {
protected:
    SimulatedProgram() {
        std::filesystem::create_directories(drive_ / "vtxsystem/log");
        write_file(work_ / "fwimage/firmware.cfg",
                   "$ drive id|image|version\n0x00a4|hh6_v210.bin|2.10\r\n0x0320|ktr_v110.bin|1.10\n");
        sim_bus bus;
        bus.add(ultrium_drive(2, "2.05", "0x00a4"));
        bus.add({{"address", 4}, {"device_type", 8}});
        bus.add(other_drive(5, "KTR320", "1.1", "0x0320")).update({{"vendor", "kv"}, {"qualifier", 1}});
        bus.add(ultrium_drive(8, "3.5", "0xfeedbeef"))
            .update({{"vendor", "K-V"}, {"product", "Ultrium 7 HH"}, {"inquiry_number", "31"}});
        bus.write(bus_);
    }
    program_run run(const std::vector<std::string>& args) {
        return run_kvtapefw(args, work_.path(), {{"systemdrive", drive_.str()}, {"KVFW_SIM_BUS", bus_.string()}});
    }

    scratch_dir drive_, work_, bus_dir_;
    std::filesystem::path bus_ = bus_dir_ / "bus.json";
};

// The dump printed under a heading, up to the next separator line.
std::string section(const std::string& out, const std::string& heading) {
    const std::string separator = "----------------------------------------------\n";
    const std::string head = separator + "\t" + heading + "\n" + separator;
    const std::size_t begin = out.find(head);
    if (begin == std::string::npos) return "(no " + heading + " section)";
    const std::size_t body = begin + head.size();
    const std::size_t end = out.find(separator, body);
    return out.substr(body, end == std::string::npos ? std::string::npos : end - body);
}

const char expected_discovered[] =
    "i = 0, Drive ID = 0x0000a4\n"
    "\tPeripheral Qualifier = 0, Peripheral Device Type = 1 \n"
    "\tVendorID = KV, ProductID = ULTRIUM-HH6\n"
    "\tFw Version = 2.05 Fw File = \n"
    "i = 1, Drive ID = 0x000320\n"
    "\tPeripheral Qualifier = 1, Peripheral Device Type = 1 \n"
    "\tVendorID = kv, ProductID = KTR320\n"
    "\tFw Version = 1.1 Fw File = \n"
    "i = 2, Drive ID = 0xfeedbeef\n"
    "\tPeripheral Qualifier = 0, Peripheral Device Type = 1 \n"
    "\tVendorID = K-V, ProductID = Ultrium 7 HH\n"
    "\tFw Version = 3.5 Fw File = \n";

const char expected_configured[] =
    "i = 0, Drive ID = 0x0000a4\n"
    "\tPeripheral Qualifier = 0, Peripheral Device Type = 0 \n"
    "\tVendorID = , ProductID = \n"
    "\tFw Version = 2.1 Fw File = HH6_V210.BIN\n"
    "i = 1, Drive ID = 0x000320\n"
    "\tPeripheral Qualifier = 0, Peripheral Device Type = 0 \n"
    "\tVendorID = , ProductID = \n"
    "\tFw Version = 1.1 Fw File = KTR_V110.BIN\n";

// Planning prints its comparisons between the catalogue and the plan.
const std::string configured_then_planning = std::string(expected_configured) +
                                             "Discovered Fw 2.050000 Configured Fw 2.100000\n"
                                             "Discovered Fw 1.100000 Configured Fw 1.100000\n";

TEST_F(SimulatedProgram, DiscoverShowsTheDrivesAndTheCatalogue) {
    const program_run r = run({"/d", (work_ / "x.xml").string()});
    EXPECT_EQ(section(r.out, "Discovered"), expected_discovered) << r.out << r.err;
    EXPECT_EQ(section(r.out, "Configured"), configured_then_planning) << r.out;
}

TEST_F(SimulatedProgram, DefaultModeShowsTheDrivesAndTheCatalogue) {
    const program_run r = run({});
    EXPECT_EQ(r.out.rfind("Default option (upgrade all) selected.\n", 0), 0u) << r.out;
    EXPECT_EQ(section(r.out, "Discovered"), expected_discovered) << r.out << r.err;
    EXPECT_EQ(section(r.out, "Configured"), configured_then_planning) << r.out;
}

TEST_F(SimulatedProgram, MissingCatalogueShowsNoneAndFails) {
    std::filesystem::remove(work_ / "fwimage/firmware.cfg");
    const program_run r = run({"/d", (work_ / "x.xml").string()});
    EXPECT_EQ(section(r.out, "Discovered"), expected_discovered) << r.out;
    EXPECT_EQ(section(r.out, "Configured"), "None\nResult : Flash failure\n") << r.out;
    EXPECT_EQ(r.exit_code, 0);
}

}  // namespace
