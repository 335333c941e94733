// The program as a user or a deployment tool runs it: console, setup log and
// exit code.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "support/sim_bus_builder.h"
#include "support/test_support.h"

namespace {

using namespace test_support;

class Program : public ::testing::Test {
protected:
    Program() { std::filesystem::create_directories(drive_ / "vtxsystem/log"); }
    program_run run(const std::vector<std::string>& args) {
        return run_kvtapefw(args, work_.path(),
                            {{"systemdrive", drive_.str()}, {"KVFW_SIM_BUS", ""}, {"KVFW_STATE_DIR", work_.str()},
                             {"KVFW_LOCK", lock()}});
    }
    // A lock of the test's own: runs of other tests on the host's real
    // transport must not wait for each other.
    std::string lock() const { return (work_ / "kvtapefw.lock").string(); }
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

// What every command-line tool answers: no run, no setup log, exit 0.
TEST_F(Program, VersionAndHelpAnswerWithoutARun) {
    struct row {
        const char* option;
        std::string starts;
    };
    const row rows[] = {
        {"--version", "kvtapefw " + std::string(KVFW_VERSION) + "\n"},
        {"-V", "kvtapefw " + std::string(KVFW_VERSION) + "\n"},
        {"--help", "Usage: VXxxxxxx.exe [options] \n"},
        {"-h", "Usage: VXxxxxxx.exe [options] \n"},
    };
    for (const row& r : rows) {
        const program_run ran = run({r.option});
        EXPECT_EQ(ran.exit_code, 0) << r.option;
        EXPECT_EQ(ran.out.rfind(r.starts, 0), 0u) << r.option << ": " << ran.out;
        if (r.starts.rfind("kvtapefw", 0) == 0) {
            EXPECT_EQ(ran.out, r.starts) << r.option;  // one line, nothing else
        }
        EXPECT_EQ(ran.out.find("Result :"), std::string::npos) << r.option;
        EXPECT_FALSE(std::filesystem::exists(drive_ / "vtxsystem/log/vtxsetup.log")) << r.option;
    }
}

TEST_F(Program, AMissingCatalogueSaysWhereItWasLookedFor) {
    bus_of({ultrium_drive(0, "2.05", "0x00a4")}).write(work_ / "bus.json");
    const program_run r = run_kvtapefw({"/s"}, work_.path(),
                                       {{"systemdrive", drive_.str()}, {"KVFW_SIM_BUS", (work_ / "bus.json").string()}});
    const std::string line = "Firmware catalogue " + std::filesystem::canonical(work_.path()).string() +
                             "/fwimage/firmware.cfg could not be read: No such file or directory\n";
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_NE(r.err.find(line), std::string::npos) << r.err;
    EXPECT_NE(log().find(line), std::string::npos) << log();
}

// The run's lines reach the system log: the test listens on a /dev/log of
// its own, in a private mount namespace, so the host's log is not touched.
TEST_F(Program, ARunLeavesItsLinesInTheSystemLog) {
    const std::filesystem::path socket_path = work_ / "log.sock";
    const int listener = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    ASSERT_GE(listener, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socket_path.c_str());
    ASSERT_EQ(::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);

    bus_of({ultrium_drive(0, "2.05", "0x00a4")}).write(work_ / "bus.json");
    std::filesystem::create_directories(work_ / "fwimage");
    write_file(work_ / "fwimage/firmware.cfg", "0x00a4|A4.BIN|2.10\n");
    write_file(work_ / "fwimage/A4.BIN", firmware_image("2.10", "0x00a4", 40000));
    // /dev is a fresh tmpfs in the namespace, with the few nodes a run needs
    // and the test's socket as /dev/log.
    const std::string w = work_.str();
    const std::string script =
        "set -e; mkdir -p '" + w + "/olddev'; mount --rbind /dev '" + w + "/olddev'; mount -t tmpfs tmpfs /dev; "
        "for n in null zero urandom; do touch /dev/$n; mount --bind '" + w + "/olddev/'$n /dev/$n; done; "
        "touch /dev/log; mount --bind '" + w + "/log.sock' /dev/log; cd '" + w + "'; "
        "systemdrive='" + drive_.str() + "' KVFW_SIM_BUS=bus.json KVFW_REPORT= exec " + KVFW_BINARY +
        " /s </dev/null >out.txt 2>err.txt";
    const int status = std::system(("unshare --mount sh -c \"" + script + "\" 2>/dev/null").c_str());
    if (!std::filesystem::exists(work_ / "out.txt")) GTEST_SKIP() << "no private mount namespace here";
    EXPECT_EQ(WEXITSTATUS(status), 1) << read_file(work_ / "out.txt") << read_file(work_ / "err.txt");

    std::vector<std::string> lines;
    char datagram[2048];
    for (ssize_t n; (n = ::recv(listener, datagram, sizeof datagram, 0)) > 0;) lines.emplace_back(datagram, n);
    ::close(listener);
    const auto logged = [&](const std::string& text) {
        return std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
            return line.find("kvtapefw[") != std::string::npos && line.find(text) != std::string::npos;
        });
    };
    EXPECT_EQ(lines.size(), 3u);
    EXPECT_TRUE(logged("run started: mode upgrade-all, document none, simulated bus bus.json"));
    EXPECT_TRUE(logged("drive /dev/nst0, KV ULTRIUM-HH6, serial KV00000000, firmware 2.05 -> 2.10: success"));
    EXPECT_TRUE(logged("run ended: Result : Success, exit code 1"));
    if (lines.size() != 3u) {
        for (const std::string& line : lines) ADD_FAILURE() << line;
    }
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
                                       {{"systemdrive", drive_.str()}, {"KVFW_SIM_BUS", ""}, {"KVFW_STATE_DIR", work_.str()},
                                        {"KVFW_TRACE", trace}, {"KVFW_LOCK", lock()}});
    EXPECT_EQ(r.exit_code, 3);
    // Said, not failed: and on Linux whether the tape driver could have made a node.
    EXPECT_EQ(r.err.rfind("kvtapefw: no tape device was found", 0), 0u) << r.err;
#if defined(__linux__)
    EXPECT_TRUE(r.err == "kvtapefw: no tape device was found; the st driver is loaded\n" ||
                r.err == "kvtapefw: no tape device was found; the st driver is not loaded\n")
        << r.err;
#endif
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
    std::string expected_log;
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
        expected_log += "trace file " + r.path + ": " + r.why + "\n";
    }
    // Each refusal also has its line in the setup log.
    EXPECT_EQ(log(), expected_log);
}

TEST_F(Program, MoreThanEightArgumentsAreCut) {
    // The ninth element (/d's path) is dropped, so /d ends the line: usage, exit 0.
    const program_run r = run({"/f", "/f", "/f", "/f", "/f", "/f", "/d", "x.xml"});
    EXPECT_EQ(r.out.rfind("Only 8 arguments supported. Extra arguments will be ignored\nUsage: ", 0), 0u) << r.out;
    EXPECT_EQ(r.exit_code, 0);
}

// A log that cannot be had costs its lines, never the run: no wait for a
// reader that is not there, and the cause said once on standard error.
TEST_F(Program, ALogThatCannotBeHadDoesNotChangeTheRun) {
    const std::filesystem::path log_file = drive_ / "vtxsystem/log/vtxsetup.log";
    struct row {
        const char* why;
        std::function<void()> arrange;
        std::string error;  // the one line on standard error
    };
    const row rows[] = {
        {"its folder is missing", [&] { std::filesystem::remove_all(drive_ / "vtxsystem"); },
         "kvtapefw: the setup log " + log_file.string() + " could not be opened (No such file or directory)\n"},
        {"a FIFO nobody reads",
         [&] { ASSERT_EQ(::mkfifo(log_file.c_str(), 0600), 0); },
         "kvtapefw: the setup log " + log_file.string() + " could not be opened (nothing reads from it)\n"},
        {"a full file system", [&] { std::filesystem::create_symlink("/dev/full", log_file); },
         "kvtapefw: the setup log " + log_file.string() + " could not be written (No space left on device)\n"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.why);
        std::filesystem::remove_all(drive_ / "vtxsystem");
        std::filesystem::create_directories(log_file.parent_path());
        r.arrange();
        const program_run ran = run({"/s"});
        EXPECT_EQ(ran.exit_code, 3);
        EXPECT_EQ(ran.out.rfind("Unable to open and write to log file.\nDefault option (upgrade all) selected.\n", 0), 0u)
            << ran.out;
        // Said once; the host's lack of a tape device follows on its own line.
        EXPECT_EQ(ran.err.substr(0, r.error.size()), r.error) << ran.err;
        EXPECT_EQ(ran.err.find("the setup log", r.error.size()), std::string::npos) << ran.err;
    }
}

}  // namespace
