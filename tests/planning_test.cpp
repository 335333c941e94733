#include "upgrade/planning.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "support/capture.h"

namespace {

using test_support::capture_stdout;

struct drive_values {
    std::uint32_t drive_id;
    double fw_version;
    bool identified = true;  // both numbers read from the drive
};

struct tables {
    std::unique_ptr<drive_table> discovered = std::make_unique<drive_table>();
    std::unique_ptr<drive_table> catalogue = std::make_unique<drive_table>();
    std::unique_ptr<drive_table> recommended = std::make_unique<drive_table>();
};

void fill(drive_table& table, const std::vector<drive_values>& rows_in) {
    clear_table(table);
    for (std::size_t i = 0; i < rows_in.size(); ++i) {
        table[i].in_use = 1;
        table[i].drive_id = rows_in[i].drive_id;
        table[i].fw_version = rows_in[i].fw_version;
        table[i].drive_id_read = rows_in[i].identified;
        table[i].fw_version_read = rows_in[i].identified;
    }
}

struct expected_record {
    std::uint32_t drive_id;
    std::string action;
    double target_version;
};

TEST(Planning, ActionsAndConsoleLines) {
    struct row {
        const char* name;
        std::vector<drive_values> discovered;
        std::vector<drive_values> catalogue;
        std::vector<expected_record> recommended;
        std::string console;
    };
    const row rows[] = {
        {"older drive is upgraded", {{0x10, 1.5}}, {{0x10, 1.6}}, {{0x10, "upgrade", 1.6}},
         "Discovered Fw 1.500000 Configured Fw 1.600000\n"},
        {"equal version is skipped", {{0x10, 1.6}}, {{0x10, 1.6}}, {{0x10, "skip", 1.6}},
         "Discovered Fw 1.600000 Configured Fw 1.600000\n"},
        {"newer drive is never downgraded", {{0x10, 1.7}}, {{0x10, 1.6}}, {{0x10, "skip", 1.6}},
         "Discovered Fw 1.700000 Configured Fw 1.600000\n"},
        // Compared as numbers: as text "10.0" would sort before "9.5".
        {"versions compare as numbers", {{0x10, 9.5}}, {{0x10, 10.0}}, {{0x10, "upgrade", 10.0}},
         "Discovered Fw 9.500000 Configured Fw 10.000000\n"},
        {"unknown drive gets no record and no line", {{0x99, 1.0}}, {{0x10, 2.0}}, {}, ""},
        {"same drive ID twice uses the first catalogue entry", {{0x10, 1.0}, {0x10, 3.0}},
         {{0x10, 2.0}, {0x10, 9.0}}, {{0x10, "upgrade", 2.0}, {0x10, "skip", 2.0}},
         "Discovered Fw 1.000000 Configured Fw 2.000000\nDiscovered Fw 3.000000 Configured Fw 2.000000\n"},
        // Slot lookups ignore in_use: a free catalogue slot matches drive ID 0.
        {"drive ID 0 matches a free catalogue slot", {{0x0, 1.0}}, {{0x10, 2.0}}, {{0x0, "skip", 0.0}},
         "Discovered Fw 1.000000 Configured Fw 0.000000\n"},
        // Unread pages leave 0/0, which would match an entry that reads as 0.
        {"unidentified drive is never planned", {{0x0, 0.0, false}, {0x10, 1.0}}, {{0x0, 2.0}, {0x10, 1.5}},
         {{0x10, "upgrade", 1.5}}, "Discovered Fw 1.000000 Configured Fw 1.500000\n"},
        {"matched drives are packed from slot 0", {{0x99, 1.0}, {0x20, 1.0}}, {{0x20, 1.5}},
         {{0x20, "upgrade", 1.5}}, "Discovered Fw 1.000000 Configured Fw 1.500000\n"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        tables t;
        fill(*t.discovered, r.discovered);
        fill(*t.catalogue, r.catalogue);
        // Left-overs of an earlier plan must not survive.
        (*t.recommended)[5].in_use = 1;
        const std::string out = capture_stdout([&] { plan_actions(*t.discovered, *t.catalogue, *t.recommended); });
        EXPECT_EQ(out, r.console);
        EXPECT_EQ(count_in_use(*t.recommended), static_cast<int>(r.recommended.size()));
        for (std::size_t i = 0; i < r.recommended.size(); ++i) {
            const drive_record& record = (*t.recommended)[i];
            EXPECT_EQ(record.in_use, 1);
            EXPECT_EQ(record.drive_id, r.recommended[i].drive_id);
            EXPECT_EQ(text_of(record.action), r.recommended[i].action);
            EXPECT_EQ(record.target_version, r.recommended[i].target_version);
        }
    }
}

TEST(Planning, CopiesTheWholeDiscoveredRecord) {
    tables t;
    fill(*t.discovered, {{0x0320, 1.10}});
    drive_record& drive = (*t.discovered)[0];
    copy_text(drive.vendor_id, "KV");
    copy_text(drive.product_id, "KTR320");
    drive.device.address = 7;
    drive.device.card = 2;
    drive.inquiry_number = 5;
    fill(*t.catalogue, {{0x0320, 1.20}});
    copy_text((*t.catalogue)[0].firmware_file, "KTR.BIN");

    capture_stdout([&] { plan_actions(*t.discovered, *t.catalogue, *t.recommended); });
    const drive_record& planned = (*t.recommended)[0];
    EXPECT_EQ(text_of(planned.vendor_id), "KV");
    EXPECT_EQ(text_of(planned.product_id), "KTR320");
    EXPECT_EQ(planned.device.address, 7u);
    EXPECT_EQ(planned.device.card, 2u);
    EXPECT_EQ(planned.inquiry_number, 5);
    EXPECT_EQ(planned.fw_version, 1.10);
    // Flashing looks the image up again; the plan does not carry it.
    EXPECT_EQ(text_of(planned.firmware_file), "");
}

TEST(Planning, NoMatchLeavesAnEmptyTable) {
    tables t;
    fill(*t.discovered, {{0x1, 1.0}, {0x2, 1.0}});
    fill(*t.catalogue, {{0x3, 2.0}});
    const std::string out = capture_stdout([&] { plan_actions(*t.discovered, *t.catalogue, *t.recommended); });
    EXPECT_EQ(out, "");
    EXPECT_EQ(count_in_use(*t.recommended), 0);
}

}  // namespace
