#include "log/setup_log.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "platform/platform.h"
#include "support/capture.h"
#include "support/test_support.h"

namespace {

using namespace test_support;

std::filesystem::path log_file(const scratch_dir& drive) { return drive / "vtxsystem/log/vtxsetup.log"; }

TEST(SetupLog, AppendsVerbatimToTheSystemDriveLog) {
    scratch_dir drive;
    std::filesystem::create_directories(drive / "vtxsystem/log");
    scoped_env systemdrive("systemdrive", drive.str().c_str());

    const std::string out = capture_stdout([] {
        append_setup_log("first line\n");
        append_setup_log("File name: fwimage/100%_%d%s.BIN\n");  // never taken as a format
    });
    EXPECT_EQ(out, "");
    append_setup_log("second run\n");
    EXPECT_EQ(read_file(log_file(drive)), "first line\nFile name: fwimage/100%_%d%s.BIN\nsecond run\n");
}

TEST(SetupLog, MissingFolderCostsOneConsoleLinePerText) {
    scratch_dir drive;
    scoped_env systemdrive("systemdrive", drive.str().c_str());
    const std::string out = capture_stdout([] {
        append_setup_log("a\n");
        append_setup_log("b\n");
    });
    EXPECT_EQ(out, "Unable to open and write to log file.\nUnable to open and write to log file.\n");
    EXPECT_FALSE(std::filesystem::exists(drive / "vtxsystem"));  // folders are never created
}

TEST(SetupLog, SeparatorIs46Hyphens) {
    EXPECT_EQ(capture_stdout(print_separator), std::string(46, '-') + "\n");
}

TEST(SetupLog, MakeDirectoryTellsWhetherItExisted) {
    scratch_dir root;
    const std::string fresh = (root / "new").string();
    EXPECT_EQ(capture_stdout([&] { EXPECT_EQ(make_directory(fresh.c_str()), 1); }), "Created Dir : " + fresh + "\n");
    EXPECT_TRUE(std::filesystem::is_directory(fresh));
    EXPECT_EQ(capture_stdout([&] { EXPECT_EQ(make_directory(fresh.c_str()), -1); }), "Dir already exist " + fresh + "\n");

    // Only the last level is created; a missing parent fails quietly.
    const std::string nested = (root / "a/b").string();
    EXPECT_EQ(capture_stdout([&] { EXPECT_EQ(make_directory(nested.c_str()), 1); }), "Created Dir : " + nested + "\n");
    EXPECT_FALSE(std::filesystem::exists(nested));
}

TEST(EnvironmentExpansion, KnownAndUnknownNames) {
    scoped_env drive("systemdrive", "D:");
    scoped_env unknown("kvfw_surely_unset", nullptr);
    struct row {
        const char* input;
        const char* expected;
    };
    const row rows[] = {
        {"%systemdrive%\\vtxsystem\\log\\vtxsetup.log", "D:/vtxsystem/log/vtxsetup.log"},
        {"%kvfw_surely_unset%\\x", "%kvfw_surely_unset%/x"},
        {"100%", "100%"},
        {"%%", "%%"},
        {"a%systemdrive%b", "aD:b"},
    };
    for (const row& r : rows) {
        std::string expected = r.expected;
#ifdef _WIN32
        // Windows keeps its own separators; only POSIX turns them into '/'.
        std::replace(expected.begin(), expected.end(), '/', '\\');
#endif
        EXPECT_EQ(expand_environment(r.input), expected) << r.input;
    }
}

}  // namespace
