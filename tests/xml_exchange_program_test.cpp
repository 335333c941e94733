// Discover to a document, edit it, upgrade from it: the program end to end on
// the simulated bus, as an administrator rehearses a rollout.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "support/program_bench.h"
#include "support/sim_bus_builder.h"

namespace {

using namespace test_support;
namespace fs = std::filesystem;

class XmlExchange : public ::testing::Test, protected program_bench {};

TEST_F(XmlExchange, DiscoverEditAndUpgradeFlashExactlyTheSelection) {
    sim_bus bus;
    bus.add(ultrium_drive(0, "2.05", "0x00a4"));
    bus.add(other_drive(1, "KTR320", "1.10", "0x0320"));
    bus.add(ultrium_drive(2, "3.00", "0x00b6"));
    bus.add(ultrium_drive(3, "1.00", "0x00c8"));
    bus.write(work_ / "bus.json");
    catalogue("0x00a4|A4.BIN|2.10\n0x0320|K320.BIN|1.20\n0x00b6|B6.BIN|3.00\n0x00c8|C8.BIN|1.50\n");
    image("K320.BIN", "1.20", "0x0320");
    image("B6.BIN", "3.00", "0x00b6");
    image("C8.BIN", "1.50", "0x00c8");

    const program_run discovered = run({"/s", "/d", document().string()});
    ASSERT_EQ(discovered.exit_code, 1) << discovered.out << discovered.err;
    EXPECT_NE(discovered.out.find("Created Dir : " + document().parent_path().string() + "\n"), std::string::npos);
    EXPECT_TRUE(flashed().empty());
    const std::string xml = read_file(document());
    EXPECT_EQ(std::count(xml.begin(), xml.end(), '\n'), 0);
    for (const char* planned : {"0x0000a4\"/><product_id value=\"ULTRIUM-HH6\"/><busnumber value=\"0\"/>",
                                "<action value=\"upgrade\"/>", "<action value=\"skip\"/>"}) {
        EXPECT_NE(xml.find(planned), std::string::npos) << planned;
    }

    // The administrator rolls one drive back to an older image (and approves
    // that image's version), rewrites one and holds one back.
    edit_action("0x0000a4", "upgrade", "downgrade");
    edit_value("0x0000a4", "version", "2.100000", "2.000000");
    edit_action("0x0000b6", "skip", "rewrite");
    edit_action("0x0000c8", "upgrade", "skip");
    catalogue("0x00a4|A4.BIN|2.00\n0x0320|K320.BIN|1.20\n0x00b6|B6.BIN|3.00\n0x00c8|C8.BIN|1.50\n");
    image("A4.BIN", "2.00", "0x00a4");
    forget_run();

    const program_run upgraded = run({"/s", "/u", document().string()});
    EXPECT_EQ(upgraded.exit_code, 1) << upgraded.out << upgraded.err;
    EXPECT_EQ(upgraded.out.substr(upgraded.out.rfind("Result : ")), "Result : Success\n");
    EXPECT_EQ(flashed(), (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(firmware(0), "2.00");
    EXPECT_EQ(firmware(1), "1.20");
    EXPECT_EQ(firmware(2), "3.00");
    EXPECT_EQ(firmware(3), "1.00");
    EXPECT_EQ(trace_lines(trace(), "sleep "), std::vector<std::string>{"sleep 150000"});

    EXPECT_EQ(log(),
              "Drive ID: 0x0000a4, Product ID: ULTRIUM-HH6, Action: downgrade\n"
              "File name: fwimage/A4.BIN\n"
              "firmware is being flashed!\n"
              "Drive ID: 0x000320, Product ID: KTR320, Action: upgrade\n"
              "File name: fwimage/K320.BIN\n"
              "firmware is being flashed - WAIT!\n"
              "Drive ID: 0x0000b6, Product ID: ULTRIUM-HH6, Action: rewrite\n"
              "File name: fwimage/B6.BIN\n"
              "firmware is being flashed!\n"
              "Drive ID: 0x0000a4, Product ID: ULTRIUM-HH6, Action: downgrade\n"
              "Drive ID: 0x000320, Product ID: KTR320, Action: upgrade\n"
              "Drive ID: 0x0000b6, Product ID: ULTRIUM-HH6, Action: rewrite\n"
              "Drive ID: 0x0000c8, Product ID: ULTRIUM-HH6, Action: skip\n");

    // The same document again: the drives already run what it asks for, so
    // only the rewrite is sent again, and the run still ends in success.
    forget_run();
    const program_run again = run({"/s", "/u", document().string()});
    EXPECT_EQ(again.exit_code, 1) << again.out;
    EXPECT_EQ(flashed(), std::vector<int>{2});
    for (const char* line : {"Drive at device 0 already runs version 2.000000, the target of its action downgrade; "
                             "nothing is sent.\n",
                             "Drive at device 1 already runs version 1.200000, the target of its action upgrade; "
                             "nothing is sent.\n"}) {
        EXPECT_NE(log().find(line), std::string::npos) << line << log();
    }
}

TEST_F(XmlExchange, StaleDocumentFlashesNothing) {
    sim_bus before;
    before.add(ultrium_drive(0, "2.05", "0x00a4"));
    before.add(other_drive(1, "KTR320", "1.10", "0x0320"));
    before.write(work_ / "bus.json");
    catalogue("0x00a4|A4.BIN|2.10\n0x0320|K320.BIN|1.20\n");
    image("A4.BIN", "2.10", "0x00a4");
    image("K320.BIN", "1.20", "0x0320");
    ASSERT_EQ(run({"/s", "/d", document().string()}).exit_code, 1);

    // After a reboot the KTR320 answers at device 0 and the Ultrium at device 4.
    sim_bus after;
    after.add(other_drive(0, "KTR320", "1.10", "0x0320"));
    after.add(ultrium_drive(4, "2.05", "0x00a4"));
    after.write(work_ / "bus.json");
    forget_run();

    const program_run r = run({"/s", "/u", document().string()});
    const std::string lines =
        "Drive at device 0 does not match the document: expected Drive ID 0x0000a4, Product ID ULTRIUM-HH6, "
        "found Drive ID 0x000320, Product ID KTR320\n"
        "Drive at device 1 does not match the document: expected Drive ID 0x000320, Product ID KTR320, "
        "found no drive\n";
    const std::string refusal =
        "Selection document " + document().string() + " does not match the drives: devices 0, 1; nothing was flashed";
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, lines + "Result : Flash failure\n");
    EXPECT_NE(r.err.find("kvtapefw: " + refusal + "\n"), std::string::npos) << r.err;
    EXPECT_EQ(log(), lines + refusal + "\n");
    EXPECT_EQ(report()["refusal"], refusal);
    EXPECT_TRUE(flashed().empty());
    EXPECT_TRUE(trace_lines(trace(), "sleep ").empty());
    EXPECT_EQ(firmware(0), "1.10");
    EXPECT_EQ(firmware(4), "2.05");
}

}  // namespace
