// The program's table dumps end to end on a simulated bus of several drives.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/sim_bus_builder.h"
#include "support/test_support.h"

namespace {

using namespace test_support;

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

// A catalogue that gives no entry fails the run as a missing one does; one
// that is not a catalogue at all (an error page saved under its name) says
// which lines are no entries, and that it holds none.
TEST_F(SimulatedProgram, ACatalogueWithoutEntriesShowsNoneAndFails) {
    const std::string where = (work_ / "fwimage/firmware.cfg").string();
    struct row {
        const char* why;
        const char* content;  // nullptr: no catalogue
        std::vector<std::string> log_lines;
        std::string error;
    };
    const row rows[] = {
        {"missing", nullptr, {}, "could not be read: No such file or directory"},
        {"an error page",
         "<html>\n<head><title>404 Not Found</title></head>\n$ not a comment in HTML\n<body>\x01</body>\n",
         {"Firmware catalogue " + where + " line 1 is not an entry: <html>",
          "Firmware catalogue " + where + " line 2 is not an entry: <head><title>404 Not Found</title></head>",
          "Firmware catalogue " + where + " line 4 is not an entry: <body>\\x01</body>",
          "Firmware catalogue " + where + " holds no entry"},
         "Firmware catalogue " + where + " holds no entry\n"},
        {"a drive ID but no version", "0x00a4|HH6_V210.BIN\n",
         {"Firmware catalogue " + where + " line 1 is not an entry: 0x00a4|HH6_V210.BIN",
          "Firmware catalogue " + where + " holds no entry"},
         "holds no entry"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.why);
        std::filesystem::remove(drive_ / "vtxsystem/log/vtxsetup.log");
        std::filesystem::remove(work_ / "fwimage/firmware.cfg");
        if (r.content) write_file(work_ / "fwimage/firmware.cfg", r.content);
        const program_run ran = run({"/d", (work_ / "x.xml").string()});
        EXPECT_EQ(section(ran.out, "Discovered"), expected_discovered) << ran.out;
        EXPECT_EQ(section(ran.out, "Configured"), "None\nResult : Flash failure\n") << ran.out;
        EXPECT_EQ(ran.exit_code, 0);
        EXPECT_NE(ran.err.find(r.error), std::string::npos) << ran.err;
        if (r.content) {
            EXPECT_EQ(read_lines(drive_ / "vtxsystem/log/vtxsetup.log"), r.log_lines);
        }
    }
}

}  // namespace
