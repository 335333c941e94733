// A bus file that cannot be used ends the run before anything is sent, with
// one line naming the file, the drive and the key.
#include "sim/simulated_bus.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "scsi/transport.h"
#include "support/sim_bus_builder.h"
#include "support/test_support.h"

namespace {

struct bad_file_case {
    const char* content;  // nullptr: no file at all
    const char* problem;
};

const bad_file_case bad_files[] = {
    {nullptr, "cannot be read"},
    {"{\"drives\": [", "is not valid JSON"},
    {"[]", "the top level is not a JSON object"},
    {R"({"command_ms": "1"})", R"(key "command_ms" must be a whole number)"},
    {R"({"command_ms": 0})", R"(key "command_ms" must be 1 to 1000000000)"},
    {R"({"drivs": []})", R"(key "drivs" is not known)"},
    {R"({"drives": {}})", R"(key "drives" must be a list)"},
    {R"({"drives": [5]})", "drive 1: is not a JSON object"},
    {R"({"drives": [{"firmware": "1.0"}]})", R"(drive 1: key "address" is missing)"},
    {R"({"drives": [{"address": 256}]})", R"(drive 1: key "address" must be 0 to 255)"},
    {R"({"drives": [{"address": -1}]})", R"(drive 1: key "address" must be 0 to 255)"},
    {R"({"drives": [{"address": 18446744073709551615}]})", R"(drive 1: key "address" must be 0 to 255)"},
    {R"({"drives": [{"address": "3"}]})", R"(drive 1: key "address" must be a whole number)"},
    {R"({"drives": [{"address": 1.5}]})", R"(drive 1: key "address" must be a whole number)"},
    {R"({"drives": [{"address": 3}, {"address": 4}, {"address": 3}]})",
     "drive 3 (address 3): the address is also used by drive 1"},
    {R"({"drives": [{"address": 3, "firmwar": "1.0"}]})", R"(drive 1 (address 3): key "firmwar" is not known)"},
    {R"({"drives": [{"address": 0}, {"address": 3, "lto": "yes"}]})",
     R"(drive 2 (address 3): key "lto" must be true or false)"},
    {R"({"drives": [{"address": 3, "layout": "lto"}]})",
     R"(drive 1 (address 3): key "layout" must be "ultrium" or "other")"},
    {R"({"drives": [{"address": 3, "open": "no"}]})", R"(drive 1 (address 3): key "open" must be "ok", "fail" or "denied")"},
    {R"({"drives": [{"address": 3, "vendor": "ZEPHYRMOUNTAIN"}]})",
     R"(drive 1 (address 3): key "vendor" is longer than 8 characters)"},
    {R"({"drives": [{"address": 3, "product": 7}]})", R"(drive 1 (address 3): key "product" must be a text)"},
    {R"({"drives": [{"address": 3, "qualifier": 8}]})", R"(drive 1 (address 3): key "qualifier" must be 0 to 7)"},
    {R"({"drives": [{"address": 3, "firmware": "123456789012345"}]})",
     R"(drive 1 (address 3): key "firmware" is longer than 14 characters)"},
    {R"({"drives": [{"address": 3, "reboot_seconds": -5}]})",
     R"(drive 1 (address 3): key "reboot_seconds" must be 0 to 1000000000)"},
    {R"({"drives": [{"address": 3, "c0_hex": "00 c0 0"}]})",
     R"(drive 1 (address 3): key "c0_hex" must be hexadecimal bytes)"},
    {R"({"drives": [{"address": 3, "faults": {"cdb": "00"}}]})", R"(drive 1 (address 3): key "faults" must be a list)"},
    {R"({"drives": [{"address": 3, "faults": [{"cdb": "44", "reply": "busy", "sens": "05 24 00"}]}]})",
     R"(drive 1 (address 3): fault 1: key "sens" is not known)"},
    {R"({"drives": [{"address": 3, "faults": [{"cdb": "44", "reply": "busy"}, {"cdb": "44", "reply": "slow"}]}]})",
     R"(drive 1 (address 3): fault 2: key "reply" must be "busy", "check", "host", "short" or "conflict")"},
    {R"({"drives": [{"address": 3, "faults": [{"reply": "busy"}]}]})",
     R"(drive 1 (address 3): fault 1: key "cdb" is missing)"},
    {R"({"drives": [{"address": 3, "faults": [{"cdb": "44", "reply": "check"}]}]})",
     R"(drive 1 (address 3): fault 1: key "sense" is missing)"},
    {R"({"drives": [{"address": 3, "faults": [{"cdb": "44", "reply": "check", "sense": "05 24"}]}]})",
     R"(drive 1 (address 3): fault 1: key "sense" must be three bytes: sense key, ASC, ASCQ)"},
    {R"({"drives": [{"address": 3, "faults": [{"cdb": "44", "reply": "short"}]}]})",
     R"(drive 1 (address 3): fault 1: key "moved" is missing)"},
    {R"({"drives": [{"address": 3, "faults": [{"cdb": "44", "reply": "busy", "count": -1}]}]})",
     R"(drive 1 (address 3): fault 1: key "count" must be 0 to 1000000000)"},
    {R"({"drives": [{"address": 3, "faults": [{"cdb": "44", "signal": "NOSUCH"}]}]})",
     R"(drive 1 (address 3): fault 1: key "signal" is not a signal this system knows)"},
    {R"({"sleeps": [{"skip": 1}]})", R"(sleep rule 1: key "signal" is missing)"},
    {R"({"drives": [{"address": 3, "serial": 7}]})", R"(drive 1 (address 3): key "serial" must be a text)"},
    {R"({"drives": [{"address": 3, "address_after_reboot": 256}]})",
     R"(drive 1 (address 3): key "address_after_reboot" must be 0 to 255)"},
    // Two drives would hold address 4 once both have moved.
    {R"({"drives": [{"address": 3, "address_after_reboot": 4}, {"address": 4}]})",
     "drive 2 (address 4): after the drives restart, address 4 would also be held by drive 1"},
};

TEST(SimBusFile, EachProblemIsOneLineNamingFileDriveAndKey) {
    for (const bad_file_case& c : bad_files) {
        test_support::scratch_dir dir;
        const std::string path = (dir / "bus.json").string();
        if (c.content) test_support::write_file(path, c.content);
        std::string error;
        EXPECT_FALSE(install_simulated_bus(path, (dir / "trace.txt").string(), error)) << c.content;
        EXPECT_EQ(error, "kvtapefw: bus file " + path + ": " + c.problem);
        EXPECT_EQ(&active_transport(), &platform_transport()) << c.problem;
        EXPECT_FALSE(std::filesystem::exists(dir / "trace.txt")) << c.problem;
    }
}

TEST(SimBusFile, AFolderIsNotABusFile) {
    test_support::scratch_dir dir;
    std::string error;
    EXPECT_FALSE(install_simulated_bus(dir.str(), "", error));
    EXPECT_EQ(error, "kvtapefw: bus file " + dir.str() + ": cannot be read");
}

TEST(SimBusFile, EveryKeyOfTheFormatIsAccepted) {
    test_support::scratch_dir dir;
    test_support::write_file(dir / "bus.json", R"({
      "command_ms": 1000000000,
      "drives": [
        {"address": 0, "device_type": 1, "qualifier": 0, "vendor": "KV", "product": "ULTRIUM-HH6",
         "inquiry_number": "5", "layout": "ultrium", "firmware": "2.05", "hw_config": "0x00a4", "lto": true,
         "open": "ok", "reboot_seconds": 60, "standard_hex": "01 00", "c0_hex": "00C0", "c1_hex": "00 c1",
         "faults": [{"cdb": "3b04", "skip": 1, "count": 1, "reply": "check", "sense": "05 2c 00"},
                    {"cdb": "44", "reply": "busy"},
                    {"cdb": "12 01 c1", "reply": "host", "error": "io"},
                    {"cdb": "12 00", "reply": "short", "moved": 20}]},
        {"address": 254, "open": "denied"},
        {"address": 255, "open": "fail", "layout": "other"}
      ]})");
    test_support::scoped_sim_bus installed(dir / "bus.json");
    EXPECT_TRUE(installed.ok()) << installed.error();
}

TEST(SimBusFile, EnvironmentSelectsTheBus) {
    test_support::scratch_dir dir;
    std::string error, installed_path = "unchanged";
    {
        test_support::scoped_env unset("KVFW_SIM_BUS", nullptr);
        EXPECT_EQ(install_transport_from_environment(installed_path, error), transport_setup::ready);
        EXPECT_EQ(installed_path, "");
        EXPECT_EQ(&active_transport(), &platform_transport());
    }
    {
        test_support::scoped_env empty("KVFW_SIM_BUS", "");
        EXPECT_EQ(install_transport_from_environment(installed_path, error), transport_setup::ready);
        EXPECT_EQ(&active_transport(), &platform_transport());
    }
    test_support::sim_bus bus;
    bus.add(test_support::ultrium_drive(2, "2.05", "0x00a4"));
    bus.write(dir / "bus.json");
    test_support::scoped_env bus_path("KVFW_SIM_BUS", (dir / "bus.json").c_str());
    test_support::scoped_env trace_path("KVFW_SIM_TRACE", (dir / "trace.txt").c_str());
    ASSERT_EQ(install_transport_from_environment(installed_path, error), transport_setup::ready) << error;
    EXPECT_EQ(installed_path, (dir / "bus.json").string());
    scsi_device device{};
    device.address = 2;
    EXPECT_EQ(scsi_open(device), 0);
    scsi_close(device);
    uninstall_simulated_bus();
    EXPECT_EQ(test_support::read_lines(dir / "trace.txt"), (std::vector<std::string>{"open 2 ok", "close 2"}));
}

TEST(SimBusFile, TheProgramStopsWithOneLineAndExitCodeZero) {
    const bad_file_case picked[] = {bad_files[0], bad_files[14], bad_files[15]};
    for (const bad_file_case& c : picked) {
        test_support::scratch_dir dir;
        const std::string path = (dir / "bus.json").string();
        if (c.content) test_support::write_file(path, c.content);
        // A system drive without the log's folder, whatever the host holds.
        const std::string drive = (dir / "no-drive").string();
        const std::map<std::string, std::string> env = {{"KVFW_SIM_BUS", path},
                                                         {"KVFW_SIM_TRACE", (dir / "trace.txt").string()},
                                                         {"systemdrive", drive}};
        const test_support::program_run run = test_support::run_kvtapefw({"/a"}, dir.path(), env);
        // The refusal goes to the setup log too, which is not there here:
        // where it was looked for is said once, first.
        const std::string no_log = "kvtapefw: the setup log " + drive +
                                   "/vtxsystem/log/vtxsetup.log could not be opened (No such file or directory)\n";
        EXPECT_EQ(run.exit_code, 0) << c.problem;
        EXPECT_EQ(run.err, no_log + "kvtapefw: bus file " + path + ": " + c.problem + "\n");
        EXPECT_EQ(run.out, "Unable to open and write to log file.\n") << c.problem;
        EXPECT_FALSE(std::filesystem::exists(dir / "trace.txt")) << c.problem;

        // Help and a broken command line do not depend on the bus file.
        const test_support::program_run help = test_support::run_kvtapefw({"/h"}, dir.path(), env);
        EXPECT_EQ(help.exit_code, 255) << c.problem;
        EXPECT_EQ(help.out.rfind("Unable to open and write to log file.\nUsage: ", 0), 0u) << c.problem;
        // The only word on standard error is where the setup log was looked
        // for (no system drive here), once; a broken command line first
        // says which argument broke it.
        EXPECT_EQ(help.err, no_log) << c.problem;
        const test_support::program_run broken = test_support::run_kvtapefw({"-d"}, dir.path(), env);
        EXPECT_EQ(broken.exit_code, 0) << c.problem;
        EXPECT_EQ(broken.out, help.out) << c.problem;
        EXPECT_EQ(broken.err, "kvtapefw: -d is not an option; options begin with \"/\" (see /h)\n" + no_log)
            << c.problem;
    }
}

}  // namespace
