#include "app/run_driver.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/capture.h"
#include "support/test_support.h"

namespace {

using namespace test_support;

const std::string usage_text =
    "Usage: VXxxxxxx.exe [options] \n"
    "[options]\n"
    " /d /discover =<xml file path+name>\tDiscover and place results in xml file.\n"
    " /u /upgrade  =<xml file path+name>\tUpgrade from selected tape drives in xml file.\n"
    " /a /all\t\t\t\t\t\t\tDiscover and upgrade all tape drives.\n"
    " /s /silent\t\t\t\t\t\t\tSilent exeuction.\n"
    " /v /verbose\t\t\t\t\t\tVerbose exeuction.\n"
    " /h /help\t\t\t\t\t\t\tDisplay this usage information.\n";

const std::string separator = std::string(46, '-') + "\n";

// Each run gets its own system drive with a log folder, and a working folder
// without a catalogue and without drives.
class RunDriver : public ::testing::Test {
protected:
    RunDriver() : systemdrive_("systemdrive", drive_.str().c_str()), cwd_(work_.path()) {
        std::filesystem::create_directories(drive_ / "vtxsystem/log");
    }
    std::string log() const { return read_file(drive_ / "vtxsystem/log/vtxsetup.log"); }

    int run(command_options& options, std::string& out) {
        int code = 0;
        out = capture_stdout([&] { code = run_driver(options); });
        return code;
    }

    scratch_dir drive_, work_;
    scoped_env systemdrive_;
    current_dir cwd_;
};

TEST_F(RunDriver, RejectedCombinations) {
    struct row {
        command_options options;
        std::string message;
    };
    command_options help_and_mode{};
    help_and_mode.help = 1;
    help_and_mode.discover = 1;
    command_options silent_verbose{};
    silent_verbose.silent = silent_verbose.verbose = 1;
    command_options two_modes{};
    two_modes.all = two_modes.discover = 1;
    command_options three_modes{};
    three_modes.all = three_modes.discover = three_modes.upgrade = 1;

    const row rows[] = {
        {help_and_mode, ""},
        {silent_verbose, "Error: Invalid command line options. Silent and Verbose cannot be together\n"},
        {two_modes, "Error: Invalid command line options\n"},
        {three_modes, "Error: Invalid command line options\n"},
    };
    std::string expected_log;
    for (row r : rows) {
        std::string out;
        EXPECT_EQ(run(r.options, out), -1);
        EXPECT_EQ(out, r.message + usage_text);
        expected_log += r.message + usage_text;
    }
    EXPECT_EQ(log(), expected_log);
}

TEST_F(RunDriver, DefaultModeWithoutDrivesEndsWithCodeThree) {
    command_options options{};
    std::string out;
    EXPECT_EQ(run(options, out), 3);
    EXPECT_EQ(options.all, 1);
    EXPECT_EQ(out, "Default option (upgrade all) selected.\n" + separator + "\tDiscovered\n" + separator + "None\n");
    EXPECT_EQ(log(), "Default option (upgrade all) selected.\n");
}

TEST_F(RunDriver, SilentHidesOnlyTheTables) {
    command_options silent{};
    silent.silent = 1;
    std::string out;
    EXPECT_EQ(run(silent, out), 3);
    EXPECT_EQ(out, "Default option (upgrade all) selected.\n");

    command_options verbose{};
    verbose.verbose = 1;
    std::string verbose_out;
    EXPECT_EQ(run(verbose, verbose_out), 3);
    command_options plain{};
    std::string plain_out;
    EXPECT_EQ(run(plain, plain_out), 3);
    EXPECT_EQ(verbose_out, plain_out);
}

TEST_F(RunDriver, DiscoverWithoutDrivesWritesNoDocument) {
    command_options options{};
    options.discover = 1;
    copy_text(options.xml_path, "out.xml");
    std::string out;
    EXPECT_EQ(run(options, out), 3);
    EXPECT_EQ(out, separator + "\tDiscovered\n" + separator + "None\n");
    EXPECT_FALSE(std::filesystem::exists(work_ / "out.xml"));
}

TEST_F(RunDriver, UpgradeFromUnreadableDocumentFailsWithoutFlashing) {
    command_options options{};
    options.upgrade = 1;
    copy_text(options.xml_path, "missing.xml");
    std::string out;
    EXPECT_EQ(run(options, out), 0);
    EXPECT_EQ(out.rfind(separator + "\tRead from Xml\n" + separator + "None\n", 0), 0u) << out;
    EXPECT_EQ(out.find("\tUpgrade\n"), std::string::npos);
}

TEST(ResultTexts, CodesZeroToThree) {
    EXPECT_STREQ(result_text(0), "Flash failure");
    EXPECT_STREQ(result_text(1), "Success");
    EXPECT_STREQ(result_text(2), "Success: reboot required");
    EXPECT_STREQ(result_text(3), "Nothing to be done for Tape drives. RDX Firmware Updated.");
    EXPECT_EQ(result_text(-1), nullptr);
    EXPECT_EQ(result_text(4), nullptr);
}

}  // namespace
