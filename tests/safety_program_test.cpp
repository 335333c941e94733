// The program end to end on a simulated bus with faults: a drive is flashed
// only at its own address and only when it was identified, and nothing that
// went unchecked ends in "Success".
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/program_bench.h"
#include "support/sim_bus_builder.h"

namespace {

using namespace test_support;

class Safety : public ::testing::Test, protected program_bench {
protected:
    static bool has_line(const std::string& text, const std::string& line) {
        return text.find(line + "\n") != std::string::npos;
    }
};

sim_json with_faults(sim_json drive, std::vector<sim_json> faults) {
    drive["faults"] = std::move(faults);
    return drive;
}

sim_json answer(const std::string& cdb, const std::string& reply, int count = -1) {
    sim_json rule = fault(cdb, reply);
    if (reply == "check") rule["sense"] = "02 04 01";  // not ready, becoming ready
    if (reply == "host") rule["error"] = "io";
    if (count >= 0) rule["count"] = count;
    return rule;
}

TEST_F(Safety, WhatCannotBeCheckedIsLeftAloneAndFailsTheRollout) {
    sim_bus bus;
    bus.add(ultrium_drive(0, "1.00", "0x00a4"));                        // to be upgraded
    bus.add(ultrium_drive(1, "1.00", "0x00a4"))["open"] = "fail";       // held by another program
    bus.add(with_faults(ultrium_drive(2, "1.00", "0x00a4"), {answer("12 01", "host")}));  // no page at all
    bus.add(with_faults(other_drive(3, "KTR320", "1.10", "0x0320"), {answer("12 01 c0", "check")}));
    bus.add(with_faults(ultrium_drive(4, "2.00", "0x00a4"), {answer("12 01 c0", "busy", 1)}));  // busy once
    bus.add(with_faults(ultrium_drive(5, "1.00", "0x00a4"), {answer("12 00", "check")}));  // no standard data
    sim_json cut_short = answer("12 00", "short");
    cut_short["moved"] = 40;  // ends before the inquiry number at byte 47
    bus.add(with_faults(ultrium_drive(6, "1.00", "0x00a4"), {cut_short}));
    sim_json no_page = answer("12 01 c0", "check");
    no_page["sense"] = "05 24 00";  // the drive's own word: it has no page C0h
    bus.add(with_faults(other_drive(7, "KTR320", "1.10", "0x0320"), {no_page}));  // not one of ours
    bus.write(bus_file());
    // A line that reads as drive ID 0 with an image any drive takes: what an
    // unread page would have matched.
    catalogue("0x00a4|A4.BIN|2.00\n0x0000|ZERO.BIN|9.99\n0x0320|K320.BIN|1.20\n");
    image("A4.BIN", "2.00", "0x00a4");
    image("ZERO.BIN", "9.99", "");
    image("K320.BIN", "1.20", "0x0320");

    const std::string left_alone =
        "Tape device 1 could not be examined; it is left untouched.\n"
        "Tape device 3 could not be examined; it is left untouched.\n"
        "Tape device 5 could not be examined; it is left untouched.\n"
        "Tape device 6 could not be examined; it is left untouched.\n"
        "Drive at device 2, Product ID: ULTRIUM-HH6, could not be identified; it is left untouched.\n";
    // Passed over as designed, but named in the log, and only there.
    const std::string not_ours =
        "Tape device 7, Vendor ID: KV, Product ID: KTR320, is not one of the maker's drives that can be flashed: "
        "its page C0h answered ILLEGAL REQUEST; it is left untouched.";

    // Discover: the document holds the identified drives only; the run is
    // judged by the document.
    const program_run discovered = run({"/s", "/d", document().string()});
    EXPECT_EQ(discovered.exit_code, 1) << discovered.out;
    EXPECT_EQ(discovered.out.find(left_alone), 0u) << discovered.out;
    EXPECT_TRUE(has_line(log(), not_ours)) << log();
    EXPECT_EQ(discovered.out.find("Tape device 7"), std::string::npos) << discovered.out;
    const std::string xml = read_file(document());
    EXPECT_NE(xml.find("<busnumber value=\"0\"/>"), std::string::npos);
    EXPECT_NE(xml.find("<busnumber value=\"4\"/>"), std::string::npos);
    for (const char* absent : {"\"1\"", "\"2\"", "\"3\"", "\"5\"", "\"6\"", "\"7\""}) {
        EXPECT_EQ(xml.find(std::string("<busnumber value=") + absent), std::string::npos) << absent;
    }
    // The drive that was busy once reports its real version, not 0.
    EXPECT_TRUE(has_line(discovered.out, "Discovered Fw 2.000000 Configured Fw 2.000000"));
    EXPECT_TRUE(flashed().empty());

    forget_run();
    const program_run all = run({"/s"});
    EXPECT_EQ(all.exit_code, 0);
    EXPECT_TRUE(has_line(all.out, "Result : Flash failure"));
    EXPECT_EQ(all.out.find("Default option (upgrade all) selected.\n" + left_alone), 0u) << all.out;
    EXPECT_EQ(log().find("Default option (upgrade all) selected.\n" + left_alone), 0u) << log();
    EXPECT_TRUE(has_line(log(), not_ours)) << log();
    EXPECT_EQ(all.out.find("Tape device 7"), std::string::npos) << all.out;
    // The other drives are flashed and verified as usual.
    EXPECT_EQ(flashed(), std::vector<int>{0});
    EXPECT_EQ(firmware(0), "2.00");
    for (int address : {1, 2, 5, 6}) EXPECT_EQ(firmware(address), "1.00") << address;
    EXPECT_EQ(firmware(7), "1.10");
    EXPECT_TRUE(has_line(log(), "Drive ID: 0x0000a4, Product ID: ULTRIUM-HH6, Action: upgrade"));
    EXPECT_TRUE(has_line(log(), "Drive ID: 0x0000a4, Product ID: ULTRIUM-HH6, Action: skip"));
}

TEST_F(Safety, OnlyAnUnexaminableDeviceIsNoNothingToDo) {
    sim_bus bus;
    bus.add(ultrium_drive(6, "1.00", "0x00a4"))["open"] = "fail";
    bus.write(bus_file());
    catalogue("0x00a4|A4.BIN|2.00\n");
    const program_run all = run({"/s"});
    EXPECT_EQ(all.exit_code, 0);
    EXPECT_TRUE(has_line(all.out, "Tape device 6 could not be examined; it is left untouched."));
    EXPECT_TRUE(has_line(all.out, "Result : Flash failure"));
}

TEST_F(Safety, AFlashedDriveIsVerifiedAtItsOwnAddress) {
    struct row {
        const char* why;
        sim_json first;  // flashed at address 0
        std::string failed_line;
    };
    sim_json vanishing = ultrium_drive(0, "1.00", "0x00a4");
    vanishing["reboot_seconds"] = 3600;  // still gone when the bus is scanned again
    sim_json unreadable_after = with_faults(ultrium_drive(0, "1.00", "0x00a4"), {answer("12 01 c0", "busy")});
    unreadable_after["faults"][0]["skip"] = 2;  // both scans before the download read it
    const row rows[] = {
        {"vanished, with a twin at address 1", vanishing, "Drive ID: 0x0000a4, Product ID: ULTRIUM-HH6, Action: Failed"},
        {"answers but cannot be identified", unreadable_after,
         "Drive ID: 0x0000a4, Product ID: ULTRIUM-HH6, Action: Failed"},
    };
    for (const row& r : rows) {
        forget_run();
        sim_bus bus;
        bus.add(r.first);
        bus.add(ultrium_drive(1, "1.00", "0x00a4"));  // same drive ID, upgraded fine
        bus.write(bus_file());
        catalogue("0x00a4|A4.BIN|2.00\n");
        image("A4.BIN", "2.00", "0x00a4");

        const program_run all = run({"/s"});
        EXPECT_EQ(all.exit_code, 0) << r.why << "\n" << all.out << log();
        EXPECT_EQ(flashed(), (std::vector<int>{0, 1})) << r.why;
        EXPECT_TRUE(has_line(log(), r.failed_line)) << r.why << "\n" << log();
        EXPECT_TRUE(has_line(log(), "Drive ID: 0x0000a4, Product ID: ULTRIUM-HH6, Action: upgrade")) << r.why;
    }
}

// Drives that restart together can come back at each other's device
// numbers: each verdict still goes to the drive with its serial number.
TEST_F(Safety, EachVerdictGoesToTheDriveWithItsSerialNumber) {
    const auto moving = [](sim_json drive, int after) {
        drive["address_after_reboot"] = after;
        return drive;
    };
    struct device_after {
        const char* serial;  // nullptr: none
        int device_after;
        const char* verdict;
    };
    struct row {
        const char* why;
        std::vector<sim_json> drives;
        int exit_code;
        std::vector<std::string> moved;  // the console's "came back" (and "after its restart") lines, all of them
        std::vector<device_after> devices;
        std::string logged = {};         // a further line of the setup log
    };
    sim_json no_serial = ultrium_drive(0, "2.05", "0x00a4");
    no_serial["serial"] = "";
    const auto serial = [](sim_json drive, const char* text) {
        drive["serial"] = text;
        return drive;
    };
    const auto dead = [](sim_json drive) {  // never back within the wait
        drive["reboot_seconds"] = 100000;
        return drive;
    };
    // Page 80h says 10 bytes of text, 4 arrive: every drive reads "HU12".
    const auto cut = [](sim_json drive) {
        sim_json rule = fault("12 01 80", "short");
        rule["moved"] = 8;
        drive["faults"] = {rule};
        return drive;
    };
    // Page 80h answers until the drive restarts.
    sim_json unreadable_after = ultrium_drive(0, "2.05", "0x00a4");
    unreadable_after["faults"] = {fault("12 01 80", "check")};
    unreadable_after["faults"][0]["sense"] = "03 11 00";
    unreadable_after["faults"][0]["skip"] = 2;  // the scan and the one before flashing
    // A page that fails once, in the verification scan (the drive is sent nothing).
    const auto fails_when_verified = [](sim_json drive, const char* cdb, const char* sense) {
        sim_json rule = fault(cdb, "check");
        rule["sense"] = sense;
        rule["skip"] = 2;  // the first scan and the read before flashing
        rule["count"] = 1;
        drive["faults"] = {rule};
        return drive;
    };
    // Page 80h refused in the first scan only: the drive has no serial number there.
    sim_json serial_later = serial(ultrium_drive(0, "2.10", "0x00a4"), "DUP1");
    serial_later["faults"] = {fault("12 01 80", "check")};
    serial_later["faults"][0]["sense"] = "05 24 00";
    serial_later["faults"][0]["count"] = 1;
    // Restarts at number 0 and then answers page 80h with its header only.
    sim_json cut_after = moving(serial(ultrium_drive(1, "2.05", "0x00a4"), "HU1234ABCD"), 0);
    cut_after["faults"] = {fault("12 01 80", "short")};
    cut_after["faults"][0]["moved"] = 4;
    cut_after["faults"][0]["skip"] = 2;
    sim_json away_no_serial = dead(moving(no_serial, 1));
    const std::string shared = "Drives at devices 0 and 1 answer the same serial number DUP1; they are told apart by "
                               "device number";
    const row rows[] = {
        {"two models swap",
         {moving(ultrium_drive(0, "2.05", "0x00a4"), 1), moving(other_drive(1, "KTR320", "1.10", "0x0320"), 0)}, 1,
         {"Drive KV00000000 (device 0) came back as device 1", "Drive KV00000001 (device 1) came back as device 0"},
         {{"KV00000000", 1, "success"}, {"KV00000001", 0, "success"}}},
        {"one model swaps, and one image carries another version",
         {moving(ultrium_drive(0, "2.05", "0x00a4"), 1), moving(ultrium_drive(1, "2.05", "0x00a5"), 0)}, 0,
         {"Drive KV00000000 (device 0) came back as device 1", "Drive KV00000001 (device 1) came back as device 0"},
         {{"KV00000000", 1, "success"}, {"KV00000001", 0, "failed"}}},
        {"a drive comes back at a new number", {moving(ultrium_drive(0, "2.05", "0x00a4"), 5)}, 1,
         {"Drive KV00000000 (device 0) came back as device 5"}, {{"KV00000000", 5, "success"}}},
        {"a drive without page 80h is verified at its number", {no_serial}, 1, {}, {{nullptr, 0, "success"}}},
        {"two drives answer one serial number, the flashed one never comes back",
         {dead(serial(ultrium_drive(0, "2.05", "0x00a4"), "DUP1")), serial(ultrium_drive(1, "2.10", "0x00a4"), "DUP1")},
         0, {}, {{nullptr, -1, "failed"}, {nullptr, 1, "success"}}, shared},
        {"both flashed, one dead: each verdict stays with its drive",
         {dead(serial(ultrium_drive(0, "2.05", "0x00a4"), "DUP1")), serial(ultrium_drive(1, "2.05", "0x00a4"), "DUP1")},
         0, {}, {{nullptr, -1, "failed"}, {nullptr, 1, "success"}}, shared},
        {"page 80h cut short is no serial number",
         {dead(cut(serial(ultrium_drive(0, "2.05", "0x00a4"), "HU1234ABCD"))),
          cut(serial(ultrium_drive(1, "2.10", "0x00a4"), "HU1299ZZZZ"))},
         0, {}, {{nullptr, -1, "failed"}, {nullptr, 1, "success"}},
         "Drive at device 1 answered its serial number cut short; it is told apart by device number"},
        {"a serial number holding a line end is quoted escaped",
         {moving(serial(ultrium_drive(0, "2.05", "0x00a4"), "HU1\nResult : Success"), 1)}, 1,
         {"Drive HU1\\x0aResult : Success (device 0) came back as device 1"},
         {{"HU1\nResult : Success", 1, "success"}}},
        {"page 80h fails after the restart: one entry, failed",
         {unreadable_after}, 0, {"Drive KV00000000 (device 0) serial number could not be read after its restart"},
         {{"KV00000000", 0, "failed"}}},
        {"a current drive whose page 80h fails when verified is that drive, and not shown to be kept",
         {fails_when_verified(ultrium_drive(0, "2.10", "0x00a4"), "12 01 80", "03 11 00")}, 0, {},
         {{"KV00000000", 0, "failed"}}},
        {"a current drive whose version cannot be read when verified fails",
         {fails_when_verified(ultrium_drive(0, "2.10", "0x00a4"), "12 01 c1", "03 11 00")}, 0, {},
         {{"KV00000000", 0, "failed"}}},
        {"a drive sent nothing is the drive at its number, never a flashed one come back",
         {serial_later, dead(serial(ultrium_drive(3, "2.05", "0x00a4"), "DUP1"))}, 0, {},
         {{nullptr, 0, "success"}, {"DUP1", -1, "failed"}}},
        {"a flashed drive without a serial number is not judged on one that restarted onto its number",
         {away_no_serial, cut_after}, 0, {},
         {{nullptr, -1, "failed"}, {nullptr, 0, "not-planned"}, {"HU1234ABCD", -1, "failed"}}},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.why);
        forget_run();
        bus_of(r.drives).write(bus_file());
        catalogue("0x00a4|A4.BIN|2.10\n0x00a5|A5.BIN|2.10\n0x0320|K320.BIN|1.20\n");
        image("A4.BIN", "2.10", "0x00a4");
        image("A5.BIN", "2.09", "0x00a5");  // the catalogue promises 2.10
        image("K320.BIN", "1.20", "0x0320");
        const program_run all = run({"/s"});
        EXPECT_EQ(all.exit_code, r.exit_code) << all.out << log();
        for (const std::string& line : r.moved) {
            EXPECT_TRUE(has_line(all.out, line)) << all.out;
            EXPECT_TRUE(has_line(log(), line));
        }
        // No drive that did not come back is said to have come back as another.
        std::size_t said = 0;
        for (std::size_t at = all.out.find("(device "); at != std::string::npos; at = all.out.find("(device ", at + 1)) {
            ++said;
        }
        EXPECT_EQ(said, r.moved.size()) << all.out;
        if (!r.logged.empty()) {
            EXPECT_TRUE(has_line(log(), r.logged)) << log();
        }
        const nlohmann::json devices = report()["devices"];
        ASSERT_EQ(devices.size(), r.devices.size()) << devices.dump(2);
        for (std::size_t i = 0; i < r.devices.size(); ++i) {
            const device_after& d = r.devices[i];
            EXPECT_EQ(devices[i]["serial"], d.serial ? nlohmann::json(d.serial) : nlohmann::json()) << i;
            EXPECT_EQ(devices[i]["device_after"], d.device_after < 0 ? nlohmann::json() : nlohmann::json(d.device_after))
                << i;
            EXPECT_EQ(devices[i]["verdict"], d.verdict) << i;
        }
    }
}

// A replayed plan names the very drive: an identical one that took its
// device number is sent nothing.
TEST_F(Safety, ADocumentWithASerialNumberFlashesOnlyThatDrive) {
    bus_of({ultrium_drive(0, "2.05", "0x00a4")}).write(bus_file());
    catalogue("0x00a4|A4.BIN|2.10\n");
    image("A4.BIN", "2.10", "0x00a4");
    ASSERT_EQ(run({"/s", "/d", document().string()}).exit_code, 1);
    EXPECT_NE(read_file(document()).find("<funcnumber value=\"0\"/><serial value=\"KV00000000\"/>"),
              std::string::npos)
        << read_file(document());
    edit_value("0x0000a4", "serial", "KV00000000", "KV00000007");
    forget_run();
    const program_run refused = run({"/s", "/u", document().string()});
    EXPECT_EQ(refused.exit_code, 0);
    EXPECT_TRUE(has_line(refused.out, "Drive at device 0 does not match the document: expected serial number "
                                      "KV00000007, found KV00000000"))
        << refused.out;
    EXPECT_TRUE(flashed().empty());
    // A document written before serial numbers (no leaf) is read as always.
    std::string xml = read_file(document());
    xml.replace(xml.find("<serial value=\"KV00000007\"/>"), std::string("<serial value=\"KV00000007\"/>").size(), "");
    write_file(document(), xml);
    forget_run();
    EXPECT_EQ(run({"/s", "/u", document().string()}).exit_code, 1);
    EXPECT_EQ(firmware(0), "2.10");
}

// A serial number holding control bytes is written escaped, and the
// document made by discovery is accepted by an upgrade of the same drive.
TEST_F(Safety, ADocumentNamesItsDriveWhateverBytesItsSerialNumberHolds) {
    sim_json drive = ultrium_drive(0, "2.05", "0x00a4");
    drive["serial"] = "HU\x01\n12";
    bus_of({drive}).write(bus_file());
    catalogue("0x00a4|A4.BIN|2.10\n");
    image("A4.BIN", "2.10", "0x00a4");
    ASSERT_EQ(run({"/s", "/d", document().string()}).exit_code, 1);
    EXPECT_NE(read_file(document()).find("<serial value=\"HU\\x01\\x0a12\"/>"), std::string::npos)
        << read_file(document());
    forget_run();
    const program_run upgraded = run({"/s", "/u", document().string()});
    EXPECT_EQ(upgraded.exit_code, 1) << upgraded.out;
    EXPECT_EQ(firmware(0), "2.10");
    EXPECT_EQ(report()["devices"][0]["verdict"], "success");
}

TEST_F(Safety, ReplayedPlanIsJudgedOnWhatTheDriveReports) {
    sim_bus bus;
    bus.add(ultrium_drive(0, "2.05", "0x00a4"));
    bus.write(bus_file());
    catalogue("0x00a4|A4.BIN|2.10\n");
    image("A4.BIN", "2.10", "0x0bad");  // built for other hardware: the drive refuses it
    ASSERT_EQ(run({"/s", "/d", document().string()}).exit_code, 1);

    // The document claims the drive runs 1.0: a refused image must not read
    // as a rise from there.
    std::string xml = read_file(document());
    const std::string active = "<active_version value=\"2.050000\"/>";
    ASSERT_NE(xml.find(active), std::string::npos) << xml;
    xml.replace(xml.find(active), active.size(), "<active_version value=\"1.000000\"/>");
    write_file(document(), xml);
    forget_run();

    const program_run upgraded = run({"/s", "/u", document().string()});
    EXPECT_EQ(upgraded.exit_code, 0) << upgraded.out;
    EXPECT_EQ(flashed(), std::vector<int>{0});
    EXPECT_EQ(firmware(0), "2.05");
    EXPECT_TRUE(has_line(log(), "Drive ID: 0x0000a4, Product ID: ULTRIUM-HH6, Action: Failed")) << log();
}

TEST_F(Safety, AnActionIsComparedAsReadWithOrWithoutTables) {
    sim_bus bus;
    bus.add(ultrium_drive(0, "1.00", "0x00a4"));
    bus.write(bus_file());
    catalogue("0x00a4|A4.BIN|2.00\n");
    image("A4.BIN", "2.00", "0x00a4");
    ASSERT_EQ(run({"/s", "/d", document().string()}).exit_code, 1);
    edit_action("0x0000a4", "upgrade", "upgrade ");

    for (const std::vector<std::string>& args : {std::vector<std::string>{"/u", document().string()},
                                                 std::vector<std::string>{"/s", "/u", document().string()}}) {
        forget_run();
        const program_run upgraded = run(args);
        EXPECT_EQ(upgraded.exit_code, 0) << args[0];
        EXPECT_TRUE(flashed().empty()) << args[0];
        // Never touched, and the log says so before the verification's verdict.
        EXPECT_EQ(log(),
                  "Drive at device 0: its action \"upgrade \" is not one of upgrade, downgrade, rewrite, skip; "
                  "nothing was sent.\nDrive ID: 0x0000a4, Product ID: ULTRIUM-HH6, Action: Failed\n")
            << args[0];
        EXPECT_EQ(report()["devices"][0]["reason"],
                  "its action \"upgrade \" is not one of upgrade, downgrade, rewrite, skip; nothing was sent");
    }
    EXPECT_EQ(firmware(0), "1.00");
}

}  // namespace
