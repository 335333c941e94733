// The program as a user or a deployment tool runs it: console, setup log and
// exit code.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "support/sim_bus_builder.h"
#include "support/test_support.h"

namespace {

using namespace test_support;

class Program : public ::testing::Test {
protected:
    Program() { std::filesystem::create_directories(drive_ / "vtxsystem/log"); }
    program_run run(const std::vector<std::string>& args) {
        return run_kvtapefw(args, work_.path(), {{"systemdrive", drive_.str()}, {"KVFW_SIM_BUS", ""}});
    }
    std::string log() const { return read_file(drive_ / "vtxsystem/log/vtxsetup.log"); }
    scratch_dir drive_, work_;
};

TEST_F(Program, HelpPrintsUsageAndExitsMinusOne) {
    const program_run r = run({"/h"});
    EXPECT_EQ(r.exit_code, 255);  // -1 as the shell sees it
    EXPECT_EQ(r.out.rfind("Usage: VXxxxxxx.exe [options] \n", 0), 0u);
    EXPECT_EQ(r.out.find("Result :"), std::string::npos);
    EXPECT_EQ(log(), r.out);
}

TEST_F(Program, SilentWithVerboseIsRejected) {
    const program_run r = run({"/s", "/v"});
    EXPECT_EQ(r.exit_code, 255);
    EXPECT_EQ(r.out.rfind("Error: Invalid command line options. Silent and Verbose cannot be together\nUsage: ", 0), 0u);
}

TEST_F(Program, BrokenGrammarShowsUsageAndExitsZero) {
    for (const auto& args : std::vector<std::vector<std::string>>{{"/d"}, {"/u", "-x"}, {"/a", "foo"}}) {
        const program_run r = run(args);
        EXPECT_EQ(r.exit_code, 0);
        EXPECT_EQ(r.out.rfind("Usage: VXxxxxxx.exe", 0), 0u);
        EXPECT_EQ(r.out.find("Result :"), std::string::npos);
    }
}

TEST_F(Program, DefaultRunWithoutDrives) {
    const program_run r = run({});
    EXPECT_EQ(r.exit_code, 3);
    EXPECT_EQ(r.out.rfind("Default option (upgrade all) selected.\n", 0), 0u);
    const std::string last = "Result : Nothing to be done for Tape drives. RDX Firmware Updated.\n";
    ASSERT_GE(r.out.size(), last.size());
    EXPECT_EQ(r.out.substr(r.out.size() - last.size()), last);
    EXPECT_EQ(log(), "Default option (upgrade all) selected.\n");
}

TEST_F(Program, TraceRecordsTheHostsOwnTransport) {
    // No drive on this host: every tape device address is tried and absent.
    const std::string trace = (work_ / "trace.txt").string();
    const program_run r = run_kvtapefw({"/s"}, work_.path(),
                                       {{"systemdrive", drive_.str()}, {"KVFW_SIM_BUS", ""}, {"KVFW_TRACE", trace}});
    EXPECT_EQ(r.exit_code, 3);
    EXPECT_EQ(r.err, "");
    const std::vector<std::string> lines = read_lines(trace);
    ASSERT_EQ(lines.size(), 256u);
    EXPECT_EQ(lines.front(), "open 0 fail");
    EXPECT_EQ(lines.back(), "open 255 fail");

}

TEST_F(Program, ATraceThatIsNoRegularFileIsRefusedBeforeAnyDrive) {
    // A FIFO nobody reads would block the open for ever.
    const std::string fifo = (work_ / "fifo").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    sim_bus bus;
    bus.add(ultrium_drive(0, "2.05", "0x00a4"));
    bus.write(work_ / "bus.json");
    const std::string bus_path = (work_ / "bus.json").string();
    struct row {
        std::string path, why, sim_bus;
    };
    const row rows[] = {
        {(work_ / "missing" / "t.txt").string(), "cannot be opened for appending (No such file or directory)", ""},
        {fifo, "is a FIFO, not a regular file", ""},
        {work_.str(), "is a folder, not a regular file", ""},
        {"/dev/null", "is a device, not a regular file", ""},
        {fifo, "is a FIFO, not a regular file", bus_path},  // KVFW_SIM_TRACE on the simulated bus
    };
    for (const row& r : rows) {
        const bool simulated = !r.sim_bus.empty();
        const program_run refused =
            run_kvtapefw({"/s"}, work_.path(),
                         {{"systemdrive", drive_.str()},
                          {"KVFW_SIM_BUS", r.sim_bus},
                          {simulated ? "KVFW_SIM_TRACE" : "KVFW_TRACE", r.path}});
        EXPECT_EQ(refused.exit_code, 255) << r.path;  // -1, as for a rejected command line
        EXPECT_EQ(refused.out, "") << r.path;
        EXPECT_EQ(refused.err, "kvtapefw: trace file " + r.path + ": " + r.why + "\n");
    }
    EXPECT_EQ(log(), "");
}

TEST_F(Program, MoreThanEightArgumentsAreCut) {
    // The ninth element (/d's path) is dropped, so /d ends the line: usage, exit 0.
    const program_run r = run({"/f", "/f", "/f", "/f", "/f", "/f", "/d", "x.xml"});
    EXPECT_EQ(r.out.rfind("Only 8 arguments supported. Extra arguments will be ignored\nUsage: ", 0), 0u) << r.out;
    EXPECT_EQ(r.exit_code, 0);
}

TEST_F(Program, MissingLogFolderDoesNotChangeTheRun) {
    std::filesystem::remove_all(drive_ / "vtxsystem");
    const program_run r = run({"/s"});
    EXPECT_EQ(r.exit_code, 3);
    EXPECT_EQ(r.out.rfind("Unable to open and write to log file.\nDefault option (upgrade all) selected.\n", 0), 0u);
}

}  // namespace
