// The operating-system layer, run on every host the program is built for
// (natively and, for the Windows build, under Wine).
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <utility>

#include "platform/calendar.h"
#include "platform/file_name.h"
#include "platform/file_read.h"
#include "support/test_support.h"

namespace {

using test_support::scoped_env;
using test_support::scratch_dir;

TEST(Platform, ExpandsKnownVariablesAndKeepsUnknownOnes) {
    scoped_env known("kvfw_platform_known", "abc");
    scoped_env unknown("kvfw_platform_unknown", nullptr);
    EXPECT_EQ(expand_environment("x%kvfw_platform_known%y"), "xabcy");
    EXPECT_EQ(expand_environment("%kvfw_platform_unknown%-1"), "%kvfw_platform_unknown%-1");
    EXPECT_EQ(expand_environment("no variable"), "no variable");
}

TEST(Platform, ExpansionLongerThanItsBufferComesBackWhole) {
    const std::string value(700, 'v');
    scoped_env known("kvfw_platform_long", value.c_str());
    EXPECT_EQ(expand_environment("%kvfw_platform_long%!"), value + "!");
}

TEST(Platform, FoldersAndFiles) {
    scratch_dir scratch;
    const std::string folder = (scratch / "made").string();
    EXPECT_FALSE(path_exists(folder));
    EXPECT_TRUE(create_directory(folder));
    EXPECT_TRUE(path_exists(folder));
    EXPECT_FALSE(is_regular_file(folder));
    EXPECT_TRUE(is_directory(folder));
    EXPECT_FALSE(create_directory(folder));                                 // already there
    EXPECT_FALSE(create_directory((scratch / "missing" / "deeper").string()));  // one level only

    const auto file = scratch / "made" / "file.txt";
    test_support::write_file(file, "one");
    EXPECT_TRUE(path_exists(file.string()));
    EXPECT_TRUE(is_regular_file(file.string()));
    EXPECT_FALSE(is_directory(file.string()));
    EXPECT_FALSE(is_regular_file((scratch / "absent.txt").string()));
    EXPECT_FALSE(is_directory((scratch / "absent").string()));
}

TEST(Platform, ReplaceFileTakesThePlaceOfAnExistingOne) {
    scratch_dir scratch;
    test_support::write_file(scratch / "new.tmp", "new");
    test_support::write_file(scratch / "doc.xml", "old");
    ASSERT_TRUE(replace_file((scratch / "new.tmp").string(), (scratch / "doc.xml").string()));
    EXPECT_EQ(test_support::read_file(scratch / "doc.xml"), "new");
    EXPECT_FALSE(path_exists((scratch / "new.tmp").string()));
    EXPECT_FALSE(replace_file((scratch / "new.tmp").string(), (scratch / "doc.xml").string()));
}

TEST(Platform, ListsFolderWithoutDotEntries) {
    scratch_dir scratch;
    test_support::write_file(scratch / "a.bin", "a");
    test_support::write_file(scratch / "b.cfg", "b");
    ASSERT_TRUE(create_directory((scratch / "sub").string()));
    std::vector<std::string> names = list_directory(scratch.str());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"a.bin", "b.cfg", "sub"}));
    EXPECT_TRUE(list_directory((scratch / "absent").string()).empty());

    // An empty folder is read; a folder that is not there, or a file, is not.
    EXPECT_TRUE(read_directory((scratch / "sub").string(), names));
    EXPECT_TRUE(names.empty());
    EXPECT_FALSE(read_directory((scratch / "absent").string(), names));
    EXPECT_FALSE(read_directory((scratch / "a.bin").string(), names));
    EXPECT_EQ(path_in_folder((scratch / "sub").string(), "k.pem"), (scratch / "sub" / "k.pem").string());
}

// A key file is a key file on every system, whatever the letter case.
TEST(Platform, FileNameExtensions) {
    const std::pair<const char*, bool> rows[] = {
        {"key.pem", true}, {"KEY.PEM", true},       {"key.Pem", true}, {"K1.PEM", true},
        {".pem", false},   {"key.pem.txt", false},  {"keypem", false}, {"key.pen", false},
    };
    for (const auto& [name, matches] : rows) EXPECT_EQ(has_extension(name, ".pem"), matches) << name;
}

TEST(Platform, UtcTimesAndDates) {
    const std::pair<std::int64_t, const char*> times[] = {
        {0, "1970-01-01T00:00:00Z"},
        {951782400, "2000-02-29T00:00:00Z"},
        {1796718600, "2026-12-08T08:30:00Z"},
        {4107542399, "2100-02-28T23:59:59Z"},
        {-1, "1969-12-31T23:59:59Z"},
    };
    for (const auto& [seconds, text] : times) EXPECT_EQ(utc_time_text(seconds), text);

    const std::pair<const char*, std::int64_t> dates[] = {
        {"1970-01-01", 0},       {"2000-02-29", 11016},   {"2026-12-08", 20795},
        {"9999-12-31", 2932896}, {"2100-02-29", -1},      {"2026-02-29", -1},
        {"2026-13-01", -1},      {"2026-00-10", -1},      {"2026-12-32", -1},
        {"2026-1-08", -1},       {"2026-12-08 ", -1},     {"1969-12-31", -1},
        {"2026/12/08", -1},      {"", -1},                {"+026-12-08", -1},
    };
    for (const auto& [text, expected] : dates) {
        std::int64_t day = -1;
        EXPECT_EQ(read_utc_date(text, day), expected >= 0) << text;
        EXPECT_EQ(day, expected) << text;
    }
}

// What the program reads never makes it wait: a FIFO (or a device) in a
// file's place is refused on the open handle, at once.
TEST(Platform, FilesReadAreRegularFilesOnly) {
    scratch_dir scratch;
    test_support::write_file(scratch / "a.bin", "abc");
    ASSERT_TRUE(create_directory((scratch / "sub").string()));
    std::vector<std::pair<std::string, std::string>> rows = {
        {(scratch / "a.bin").string(), ""},
        {(scratch / "sub").string(), "not a regular file"},
        {(scratch / "absent").string(), ""},
    };
#ifdef _WIN32
    rows.push_back({"NUL", "not a regular file"});
#else
    ASSERT_TRUE(test_support::make_fifo(scratch / "fifo"));
    rows.push_back({(scratch / "fifo").string(), "it is a FIFO, not a regular file"});
#endif
    for (const auto& [path, refusal] : rows) {
        std::string why;
        std::FILE* file = open_regular_file_for_reading(path, why);
        const bool opens = path.find("a.bin") != std::string::npos;
        EXPECT_EQ(file != nullptr, opens) << path;
        if (file) {
            char text[4] = "";
            EXPECT_EQ(std::fread(text, 1, 3, file), 3u);
            EXPECT_EQ(real_path_of_open_file(file).empty(), false);
            std::fclose(file);
        } else {
            EXPECT_FALSE(why.empty()) << path;
            if (!refusal.empty()) {
                EXPECT_NE(why.find(refusal), std::string::npos) << why;
            }
        }
    }
    // Where an open file lies, against a folder, links resolved alike.
    const std::string folder = real_path(scratch.str());
    ASSERT_FALSE(folder.empty());
    std::string why;
    std::FILE* file = open_regular_file_for_reading((scratch / "sub" / ".." / "a.bin").string(), why);
    ASSERT_NE(file, nullptr) << why;
    EXPECT_TRUE(real_path_within(real_path_of_open_file(file), folder));
    EXPECT_FALSE(real_path_within(real_path_of_open_file(file), real_path((scratch / "sub").string())));
    std::fclose(file);
    EXPECT_FALSE(real_path_within(folder, folder)) << "the folder itself is not inside it";
    EXPECT_FALSE(real_path_within(folder + "x", folder)) << "a sibling that begins alike";
}

TEST(Platform, SleepWaitsTheTimeAsked) {
    const auto start = std::chrono::steady_clock::now();
    platform_sleep_ms(100);
    // Windows' timer ticks may end a sleep a few milliseconds early.
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(80));
}

TEST(Platform, NowIsCalendarTimeInSeconds) {
    const auto expected = std::chrono::duration_cast<std::chrono::seconds>(
                              std::chrono::system_clock::now().time_since_epoch()).count();
    EXPECT_LE(std::abs(platform_now_seconds() - expected), 2);
}

}  // namespace

#ifndef _WIN32
// Without a system drive the log still has a fixed, documented home; a
// systemdrive the caller sets always wins.
TEST(EnvironmentExpansionPosix, UnsetSystemDriveStandsForTheStateFolder) {
    {
        test_support::scoped_env unset("systemdrive", nullptr);
        EXPECT_EQ(expand_environment("%systemdrive%\\vtxsystem\\log\\vtxsetup.log"),
                  "/var/lib/kvtapefw/vtxsystem/log/vtxsetup.log");
        EXPECT_EQ(expand_environment("%SYSTEMDRIVE%\\x"), "%SYSTEMDRIVE%/x");  // names are case-sensitive here
    }
    test_support::scoped_env empty("systemdrive", "");
    EXPECT_EQ(expand_environment("%systemdrive%\\vtxsystem"), "/vtxsystem");
}
#endif
