#include "xml/discovery_document.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "support/capture.h"
#include "support/test_support.h"
#include "xml/selection_document.h"

namespace {

using namespace test_support;
namespace fs = std::filesystem;

struct write_outcome {
    int result;
    std::string out;
    std::string err;
};

write_outcome write(const std::string& path, const drive_table& table) {
    write_outcome outcome{};
    outcome.out = capture_stdout(
        [&] { outcome.err = capture_stderr([&] { outcome.result = write_discovery_document(path.c_str(), table); }); });
    return outcome;
}

std::unique_ptr<drive_table> empty_table() { return std::make_unique<drive_table>(); }

const char declaration[] = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\" ?>";
const char root_head[] =
    "<kv_rom_discovery version=\"2.0.0.0\"><type value=\"TAPE\"/>"
    "<alt_name value=\"KV TAPE Firmware for Drive x, Drive y, and Drive z for Windows\"/>"
    "<version value=\"2.0.3\"/><takes_effect value=\"immediate\"/>";

TEST(DiscoveryDocument, KnownTableByteForByte) {
    auto table = empty_table();
    drive_record& first = (*table)[0];
    first.in_use = 1;
    first.drive_id = 0x1a2b;
    copy_text(first.product_id, "ULTRIUM-HH6 <&\"> ");
    copy_text(first.vendor_id, "KV");  // not part of the document
    first.device.address = 4;
    first.device.card = 0;
    first.device.lun = 0;
    first.fw_version = 1.23;
    first.target_version = 2.5;
    copy_text(first.action, "upgrade");

    // A free slot between two records does not end the walk.
    drive_record& unused = (*table)[1];
    unused.drive_id = 0x777;
    copy_text(unused.product_id, "NOT WRITTEN");

    drive_record& third = (*table)[2];
    third.in_use = 1;
    third.drive_id = 0;
    copy_text(third.product_id, "KTR320");
    third.device.address = 12;
    third.device.card = 1;
    third.device.lun = 2;
    copy_text(third.fw_item_type, "tape");
    copy_text(third.firmware_id, "FW-320");
    third.fw_version = 3.1;
    third.target_version = 3.1;
    copy_text(third.action, "skip");
    third.duration = 90;

    scratch_dir dir;
    const fs::path path = dir / "doc.xml";
    const write_outcome outcome = write(path.string(), *table);
    EXPECT_EQ(outcome.result, 0);
    EXPECT_EQ(outcome.err, "");
    EXPECT_EQ(outcome.out, "Dir already exist " + dir.str() + "\n");
    EXPECT_EQ(read_file(path),
              std::string(declaration) + root_head +
                  "<devices>"
                  "<device><device_id value=\"0x001a2b\"/>"
                  "<product_id value=\"ULTRIUM-HH6 &lt;&amp;&quot;> \"/>"
                  "<busnumber value=\"4\"/><devicenumber value=\"0\"/><funcnumber value=\"0\"/>"
                  "<fw_item><type value=\"\"/><firmware_id value=\"\"/><version value=\"2.500000\"/>"
                  "<active_version value=\"1.230000\"/><action value=\"upgrade\"/><duration value=\"0\"/>"
                  "<message value=\"\"/><shared value=\"no\"/></fw_item></device>"
                  "<device><device_id value=\"00000000\"/><product_id value=\"KTR320\"/>"
                  "<busnumber value=\"12\"/><devicenumber value=\"1\"/><funcnumber value=\"2\"/>"
                  "<fw_item><type value=\"tape\"/><firmware_id value=\"FW-320\"/><version value=\"3.100000\"/>"
                  "<active_version value=\"3.100000\"/><action value=\"skip\"/><duration value=\"90\"/>"
                  "<message value=\"\"/><shared value=\"no\"/></fw_item></device>"
                  "</devices></kv_rom_discovery>");
}

TEST(DiscoveryDocument, EmptyTableGivesEmptyDevicesAndReplacesAnOldFile) {
    scratch_dir dir;
    const fs::path path = dir / "doc.xml";
    write_file(path, std::string(5000, 'x'));
    const write_outcome outcome = write(path.string(), *empty_table());
    EXPECT_EQ(outcome.result, 0);
    EXPECT_EQ(read_file(path), std::string(declaration) + root_head + "<devices/></kv_rom_discovery>");
}

TEST(DiscoveryDocument, LargeDriveIdKeepsAllDigits) {
    auto table = empty_table();
    (*table)[0].in_use = 1;
    (*table)[0].drive_id = 0xdeadbeef;
    scratch_dir dir;
    ASSERT_EQ(write((dir / "doc.xml").string(), *table).result, 0);
    EXPECT_NE(read_file(dir / "doc.xml").find("<device_id value=\"0xdeadbeef\"/>"), std::string::npos);
}

// The folder step runs in the current folder, with paths as a user types them.
TEST(DiscoveryDocument, FolderOfTheDocument) {
    struct row {
        const char* path;
        const char* console;  // make_directory's line, if any
        const char* written;  // where the document lands; null when nothing is written
    };
    const row rows[] = {
        {"bare.xml", "", "bare.xml"},
        {"./dot.xml", "", "dot.xml"},                         // no letter or digit: no folder
        {"fresh/doc.xml", "Created Dir : fresh\n", "fresh/doc.xml"},
        {"old/doc.xml", "Dir already exist old\n", "old/doc.xml"},
        {"old/inner/doc.xml", "Created Dir : old/inner\n", "old/inner/doc.xml"},
#ifndef _WIN32
        // Windows allows no folder named by spaces alone.
        {" /spaced.xml", "", " /spaced.xml"},                 // a folder of spaces only is none
#endif
    };
    for (const row& r : rows) {
        scratch_dir dir;
        current_dir inside(dir.path());
        fs::create_directory("old");
#ifndef _WIN32
        fs::create_directory(" ");
#endif
        const write_outcome outcome = write(r.path, *empty_table());
        EXPECT_EQ(outcome.result, 0) << r.path;
        EXPECT_EQ(outcome.err, "") << r.path;
        EXPECT_EQ(outcome.out, r.console) << r.path;
        EXPECT_NE(read_file(r.written).find("<devices/>"), std::string::npos) << r.path;
    }
}

TEST(DiscoveryDocument, PathWithoutFileNameIsRefusedBeforeAnythingHappens) {
    // A backslash ends the folder part on every system, as it does on Windows.
    for (const char* path : {"sub/", "sub/   ", "/", "win\\", "win\\  ", "sub/win\\"}) {
        scratch_dir dir;
        current_dir inside(dir.path());
        const write_outcome outcome = write(path, *empty_table());
        EXPECT_EQ(outcome.result, 1) << path;
        EXPECT_EQ(outcome.err, "Error : Xml filename not specified\n") << path;
        EXPECT_EQ(outcome.out, "") << path;
        EXPECT_TRUE(fs::is_empty(dir.path())) << path;
    }
}

TEST(DiscoveryDocument, BackslashSeparatesTheFolder) {
    const char path[] = "win\\doc.xml";
    scratch_dir dir;
    current_dir inside(dir.path());
    const write_outcome outcome = write(path, *empty_table());
    EXPECT_EQ(outcome.out, "Created Dir : win\n");
    EXPECT_TRUE(fs::is_directory("win"));
    // On Windows the document lands in win; elsewhere the file goes to the
    // path exactly as passed, where a backslash is an ordinary character of
    // a file name.
    EXPECT_EQ(outcome.result, 0);
    EXPECT_TRUE(fs::is_regular_file(path));
}

TEST(DiscoveryDocument, UnwritableFolderReportsTheSerialiserFailure) {
    scratch_dir dir;
    current_dir inside(dir.path());
    write_file("plain", "a file, not a folder");

    // The folder cannot be made under a file, and the document not written.
    write_outcome outcome = write("plain/sub/doc.xml", *empty_table());
    EXPECT_EQ(outcome.result, 1);
    EXPECT_EQ(outcome.out, "Created Dir : plain/sub\n");
    EXPECT_EQ(outcome.err,
              "An error occurred during creation of output transcoder. Msg is:\n"
              "unable to open file 'plain/sub/doc.xml'\n");

    // Two new levels: only the last is attempted, so the parent is missing.
    outcome = write("a/b/doc.xml", *empty_table());
    EXPECT_EQ(outcome.result, 1);
    EXPECT_EQ(outcome.out, "Created Dir : a/b\n");
    EXPECT_EQ(outcome.err.rfind("An error occurred during creation of output transcoder. Msg is:\n", 0), 0u);
    EXPECT_FALSE(fs::exists("a"));
}

// A drive's INQUIRY texts may hold any byte; the document must still be
// well-formed, list the drive and read back.
TEST(DiscoveryDocument, CharactersXmlCannotHoldAreWrittenAsQuestionMarks) {
    auto table = empty_table();
    drive_record& drive = (*table)[0];
    drive.in_use = 1;
    copy_text(drive.product_id, "HH6\x01\x1f" "end\x7f");
    copy_text(drive.fw_item_type, "\x1b[0m\tT\r\n");
    copy_text(drive.action, "upgrade");
    scratch_dir dir;
    const fs::path path = dir / "doc.xml";
    const write_outcome outcome = write(path.string(), *table);
    EXPECT_EQ(outcome.result, 0);
    EXPECT_EQ(outcome.err, "");
    const std::string text = read_file(path);
    EXPECT_NE(text.find("<product_id value=\"HH6??end\x7f\"/>"), std::string::npos) << text;
    EXPECT_NE(text.find("<type value=\"?[0m&#x9;T&#xD;&#xA;\"/>"), std::string::npos) << text;

    auto read = empty_table();
    ASSERT_EQ(read_selection_document(path.string().c_str(), *read), 0);
    EXPECT_EQ(text_of((*read)[0].product_id), "HH6??end\x7f");
    EXPECT_EQ(text_of((*read)[0].fw_item_type), "?[0m\tT\r\n");
    EXPECT_EQ(text_of((*read)[0].action), "upgrade");
}

TEST(DiscoveryDocument, VersionsAreWrittenWithAllTheirDigits) {
    auto table = empty_table();
    (*table)[0].in_use = 1;
    (*table)[0].target_version = -DBL_MAX;  // the longest "%f" text there is
    (*table)[0].fw_version = 1e60;
    scratch_dir dir;
    const fs::path path = dir / "doc.xml";
    ASSERT_EQ(write(path.string(), *table).result, 0);
    // Every digit before the point and all six after it: the texts read back
    // as the very same numbers.
    const std::string text = read_file(path);
    EXPECT_NE(text.find(".000000\"/><active_version"), std::string::npos) << text;
    EXPECT_NE(text.find(".000000\"/><action"), std::string::npos) << text;
    auto read = empty_table();
    ASSERT_EQ(read_selection_document(path.string().c_str(), *read), 0);
    EXPECT_EQ((*read)[0].target_version, -DBL_MAX);
    EXPECT_EQ((*read)[0].fw_version, 1e60);
}

std::vector<std::string> names_in(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// The document is written whole or not at all: whatever fails on the way
// leaves the old document as it was and no new file beside it.
TEST(DiscoveryDocument, FailedWriteKeepsTheOldDocumentAndLeavesNoNewFile) {
    auto table = empty_table();
    for (drive_record& drive : *table) {
        drive.in_use = 1;
        copy_text(drive.product_id, "ULTRIUM-HH6");
        copy_text(drive.action, "upgrade");
    }
    const std::string failure = "An error occurred during creation of output transcoder. Msg is:\n";
    {
        // A folder in the document's place cannot be replaced.
        scratch_dir dir;
        const fs::path path = dir / "doc.xml";
        write_file(path / "keep.txt", "kept");
        const write_outcome outcome = write(path.string(), *table);
        EXPECT_EQ(outcome.result, 1);
        EXPECT_EQ(outcome.err, failure + "unable to replace file '" + path.string() + "'\n");
        EXPECT_EQ(read_file(path / "keep.txt"), "kept");
        EXPECT_EQ(names_in(dir.path()), std::vector<std::string>{"doc.xml"});
    }
    {
        // A disk that fills up while the document (some 10 KB) is written.
        scratch_dir dir;
        const fs::path path = dir / "doc.xml";
        write_file(path, "old document");
        write_outcome outcome{};
        {
            file_size_limit full_disk(4096);
            if (!full_disk.active()) GTEST_SKIP() << "no file size limit on this system";
            outcome = write(path.string(), *table);
        }
        EXPECT_EQ(outcome.result, 1);
        EXPECT_EQ(outcome.err, failure + "unable to write data to file '" + path.string() + "'\n");
        EXPECT_EQ(read_file(path), "old document");
        EXPECT_EQ(names_in(dir.path()), std::vector<std::string>{"doc.xml"});
    }
}

TEST(DiscoveryDocument, OverlongPathIsRefusedAndNothingIsWritten) {
    scratch_dir dir;
    current_dir inside(dir.path());
    // "./" repeated keeps the folder part free of letters, so only the length counts.
    std::string fits;
    while (fits.size() + 2 + 7 <= 511) fits += "./";
    fits += std::string(511 - fits.size() - 4, 'f') + ".xml";
    ASSERT_EQ(fits.size(), 511u);
    EXPECT_EQ(write(fits, *empty_table()).result, 0);
    fs::remove(fits);

    const std::string too_long = "newdir/" + std::string(505 - 4, 'g') + ".xml";
    ASSERT_EQ(too_long.size(), 512u);
    const write_outcome outcome = write(too_long, *empty_table());
    EXPECT_EQ(outcome.result, 1);
    EXPECT_EQ(outcome.err, "Error : Xml path is longer than 511 characters\n");
    EXPECT_EQ(outcome.out, "");
    EXPECT_TRUE(fs::is_empty(dir.path()));
}

}  // namespace
