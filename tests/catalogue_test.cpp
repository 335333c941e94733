#include "inventory/catalogue.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace {

using test_support::current_dir;
using test_support::scratch_dir;
using test_support::write_file;

struct entry {
    std::uint32_t drive_id;
    std::string file;
    double version;
};

// Reads `content` as the catalogue of a fresh folder.
class CatalogueTest : public ::testing::Test {
protected:
    int read(const std::string& content) {
        write_file(dir_ / "fwimage" / "firmware.cfg", content);
        current_dir here(dir_.path());
        reading_ = catalogue_reading{};
        return read_catalogue(*table_, nullptr, nullptr, &reading_);
    }

    // The numbers of the lines that were stored but are no entries.
    std::vector<unsigned> not_entries() const {
        std::vector<unsigned> numbers;
        for (const catalogue_line& line : reading_.not_entries) numbers.push_back(line.number);
        return numbers;
    }

    std::vector<entry> entries() const {
        std::vector<entry> found;
        for (const drive_record& r : *table_) {
            if (r.in_use) found.push_back({r.drive_id, std::string(text_of(r.firmware_file)), r.fw_version});
        }
        return found;
    }

    void expect_entries(const std::vector<entry>& expected, const std::string& why) const {
        const std::vector<entry> found = entries();
        ASSERT_EQ(found.size(), expected.size()) << why;
        for (std::size_t i = 0; i < expected.size(); ++i) {
            EXPECT_EQ(found[i].drive_id, expected[i].drive_id) << why << ", entry " << i;
            EXPECT_EQ(found[i].file, expected[i].file) << why << ", entry " << i;
            EXPECT_DOUBLE_EQ(found[i].version, expected[i].version) << why << ", entry " << i;
        }
    }

    scratch_dir dir_;
    std::unique_ptr<drive_table> table_ = std::make_unique<drive_table>();
    catalogue_reading reading_;
};

TEST_F(CatalogueTest, DataLines) {
    struct row {
        const char* why;
        std::string content;
        std::vector<entry> expected;
        // Lines stored as the format says that no one meant as entries.
        std::vector<unsigned> not_entries = {};
    };
    const row rows[] = {
        {"plain line", "0x1234|DRIVE.BIN|2.05\n", {{0x1234, "DRIVE.BIN", 2.05}}},
        {"no prefix, no final line feed", "1234|DRIVE.BIN|2.05", {{0x1234, "DRIVE.BIN", 2.05}}},
        {"lower case is stored upper case", "0xa4|drive_hh6.bin|3.1\n", {{0xA4, "DRIVE_HH6.BIN", 3.1}}},
        {"comments and empty lines", "$ comment\n\n$0x1|A|1\n\n", {}},
        {"spaces-only line is an entry", "   \n", {{0, "", 0}}, {1}},
        {"space then $ is a data line", " $0x1|A.BIN|1\n", {{0, "A.BIN", 1}}, {1}},
        {"empty field is not seen", "1234||DRIVE.BIN|2.05\n", {{0x1234, "DRIVE.BIN", 2.05}}},
        {"fields move forward", "1234||2.05\n", {{0x1234, "2.05", 0}}, {1}},
        {"leading separator", "|DRIVE.BIN|2.05\n", {{0xD, "2.05", 0}}, {1}},
        {"trailing separators", "1234|DRIVE.BIN|2.05||\n", {{0x1234, "DRIVE.BIN", 2.05}}},
        {"spaces around separators", "1234 | DRIVE.BIN | 2.05\n", {{0x1234, " DRIVE.BIN ", 2.05}}},
        {"line trimmed before splitting", "   1234|DRIVE.BIN|2.05   \n", {{0x1234, "DRIVE.BIN", 2.05}}},
        {"fourth field ignored", "1234|DRIVE.BIN|2.05|EXTRA\n", {{0x1234, "DRIVE.BIN", 2.05}}},
        {"one field only", "1234\n", {{0x1234, "", 0}}, {1}},
        {"version not a number", "1234|A.BIN|V2\n", {{0x1234, "A.BIN", 0}}, {1}},
        {"carriage returns end lines", "$c\r\n1|A.BIN|1.5\r\n\r\n2|B.BIN\r\n",
         {{1, "A.BIN", 1.5}, {2, "B.BIN", 0}}, {4}},
        {"lone carriage return stays in the line", "1|A.BIN\r|1.5\n", {{1, "A.BIN\r", 1.5}}},
        {"order of the file", "2|B|2\n1|A|1\n", {{2, "B", 2}, {1, "A", 1}}},
        // Ctrl-Z ends a text file, as Windows' text mode reads it, on every system.
        {"data only after Ctrl-Z", "$ firmware\r\n\x1a" "1|A.BIN|1\r\n", {}},
        {"Ctrl-Z between two lines", "1|A.BIN|1\n\x1a" "2|B.BIN|2\n", {{1, "A.BIN", 1}}},
        {"Ctrl-Z inside a line", "1|A.BIN|1\x1a" "5\n2|B.BIN|2\n", {{1, "A.BIN", 1}}},
        // A drive ID field must begin with a hexadecimal number, as it is read.
        {"sign and prefix before the digits", " -0x1|A.BIN|1\n+1|B.BIN|1\n", {{0xFFFFFFFF, "A.BIN", 1}, {1, "B.BIN", 1}}},
        {"prefix without digits", "0x|A.BIN|1\n0xg1|B.BIN|1\n", {{0, "A.BIN", 1}, {0, "B.BIN", 1}}, {1, 2}},
        {"an error page", "<html>\n<body>\n", {{0, "", 0}, {0, "", 0}}, {1, 2}},
    };
    for (const row& r : rows) {
        EXPECT_EQ(read(r.content), static_cast<int>(r.expected.size())) << r.why;
        expect_entries(r.expected, r.why);
        EXPECT_EQ(not_entries(), r.not_entries) << r.why;
        EXPECT_EQ(reading_.entries, static_cast<int>(r.expected.size() - r.not_entries.size())) << r.why;
    }
}

TEST_F(CatalogueTest, OnlyFourFieldsOfTheRecordAreFilled) {
    read("0x1234|DRIVE.BIN|2.05\n");
    const drive_record& r = (*table_)[0];
    EXPECT_EQ(r.in_use, 1);
    EXPECT_EQ(r.peripheral_device_type, 0);
    EXPECT_EQ(text_of(r.vendor_id), "");
    EXPECT_EQ(text_of(r.action), "");
    EXPECT_EQ(r.target_version, 0.0);
    EXPECT_EQ(r.device.address, 0u);
    EXPECT_EQ((*table_)[1].in_use, 0);
}

TEST_F(CatalogueTest, MissingFileGivesEmptyTable) {
    read("1|A|1\n");
    std::filesystem::remove(dir_ / "fwimage" / "firmware.cfg");
    current_dir here(dir_.path());
    EXPECT_EQ(read_catalogue(*table_), -1);
    EXPECT_EQ(count_in_use(*table_), 0);
}

std::string numbered_lines(int count) {
    std::string content;
    for (int i = 1; i <= count; ++i) content += std::to_string(i) + "|IMG" + std::to_string(i) + ".BIN|1." + std::to_string(i) + "\n";
    return content;
}

TEST_F(CatalogueTest, TwentyThreeEntriesFillTheTable) {
    EXPECT_EQ(read(numbered_lines(23)), 23);
    EXPECT_EQ(count_in_use(*table_), 23);
    EXPECT_EQ(text_of((*table_)[22].firmware_file), "IMG23.BIN");
}

TEST_F(CatalogueTest, LinesBeyondTheTableArePassedOver) {
    EXPECT_EQ(read(numbered_lines(23) + "$ still read\n" + numbered_lines(5)), 23);
    EXPECT_EQ(count_in_use(*table_), 23);
    EXPECT_EQ((*table_)[22].drive_id, 0x23u);
    EXPECT_EQ(text_of((*table_)[22].firmware_file), "IMG23.BIN");
}

// No part of a long line is ever taken for a line of its own: the tail of a
// comment or of a padded data line could otherwise name another image.
TEST_F(CatalogueTest, LongLinesAreReadWhole) {
    const std::string tail = "0x77|TAIL.BIN|4.5\n";
    const std::string megabytes(4 * 1024 * 1024, ' ');
    struct row {
        const char* why;
        std::string content;
        std::vector<entry> expected;
    };
    const row rows[] = {
        {"253 characters and the line feed",
         "1|" + std::string(127, 'A') + "|" + std::string(253 - 2 - 127 - 1, '9') + "\n",
         {{1, std::string(127, 'A'), 1e123}}},
        {"254 characters and the line feed", "1|A.BIN|" + std::string(246, '1') + "\n",
         {{1, "A.BIN", std::stod(std::string(246, '1'))}}},
        {"long comment", "$" + std::string(300, '-') + tail + "2|B.BIN|3\n", {{2, "B.BIN", 3}}},
        {"padded data line", "1|A.BIN|2" + std::string(245, ' ') + tail, {{1, "A.BIN", 2}}},
        {"long drive ID", std::string(300, '0') + "1234|A.BIN|1\n", {{0x1234, "A.BIN", 1}}},
        {"$ far into a line", std::string(254, ' ') + "$1|X|1\n", {{0, "X", 1}}},
        {"CR LF after 253 characters", std::string(246, ' ') + "1|A.BIN\r\n2|B.BIN|3\n",
         {{1, "A.BIN", 0}, {2, "B.BIN", 3}}},
        // A data line is a handful of short fields: one of 64 KiB or more is
        // not an entry, whatever it holds.
        {"data line of megabytes", "1|A.BIN|2" + megabytes + "\n2|B.BIN|3\n", {{2, "B.BIN", 3}}},
    };
    for (const row& r : rows) {
        EXPECT_EQ(read(r.content), static_cast<int>(r.expected.size())) << r.why;
        expect_entries(r.expected, r.why);
    }
}

TEST_F(CatalogueTest, FileNameTooLongIsPassedOver) {
    const std::string long_name(128, 'B');
    EXPECT_EQ(read("1|A.BIN|1\n2|" + long_name + "|2\n3|C.BIN|3\n"), 2);
    expect_entries({{1, "A.BIN", 1}, {3, "C.BIN", 3}}, "name of 128 characters");
}

// Anything but a regular file reads as a catalogue that cannot be opened,
// at once: a pipe or a device would block the run or never end it.
TEST_F(CatalogueTest, OnlyARegularFileIsACatalogue) {
    const std::filesystem::path cfg = dir_ / "fwimage" / "firmware.cfg";
    std::filesystem::create_directories(cfg);
    current_dir here(dir_.path());
    EXPECT_EQ(read_catalogue(*table_), -1) << "folder";
#ifndef _WIN32
    for (const char* device : {"/dev/null", "/dev/zero"}) {
        std::filesystem::remove_all(cfg);
        std::filesystem::create_symlink(device, cfg);
        EXPECT_EQ(read_catalogue(*table_), -1) << device;
    }
#endif
    std::filesystem::remove_all(cfg);
    if (test_support::make_fifo(cfg)) {
        EXPECT_EQ(read_catalogue(*table_), -1) << "pipe";  // with no writer, opening it alone would block
    }
    EXPECT_EQ(count_in_use(*table_), 0);
}

TEST_F(CatalogueTest, FindByDriveId) {
    read("0x10|A.BIN|1\n0x20|B.BIN|2\n0x10|C.BIN|3\n");
    const drive_record* found = find_by_drive_id(0x10, *table_);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(text_of(found->firmware_file), "A.BIN");  // the earlier line wins
    EXPECT_EQ(find_by_drive_id(0x20, *table_), &(*table_)[1]);
    EXPECT_EQ(find_by_drive_id(0x30, *table_), nullptr);
    // Free slots hold drive ID 0 and are looked at too.
    EXPECT_EQ(find_by_drive_id(0, *table_), &(*table_)[3]);
}

TEST_F(CatalogueTest, FindByDriveIdOnAFullTable) {
    read(numbered_lines(23));
    EXPECT_EQ(find_by_drive_id(0x23, *table_), &(*table_)[22]);
    EXPECT_EQ(find_by_drive_id(0, *table_), nullptr);
}

}  // namespace
