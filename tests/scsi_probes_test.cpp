// Both drive probes against simulated drives whose fault rules make them
// busy, refuse or go quiet; the trace shows what the probe sent, in order.
#include "scsi/scsi_probes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "scsi/scsi_device.h"
#include "support/sim_bus_builder.h"
#include "support/test_support.h"

namespace {

using test_support::fault;
using test_support::sim_json;

constexpr const char* density_cdb = "44000000000000003800";
constexpr const char* sense_cdb = "030000003800";
constexpr const char* page_c0_cdb = "1201c000ff00";
constexpr const char* read_buffer_cdb = "3c010100010000003000";

// One drive at address 0 on a fresh bus, opened.
struct probe_bench {
    explicit probe_bench(sim_json drive, int command_ms = 1)
        : bus(test_support::bus_of({std::move(drive)}, command_ms)) {}
    ~probe_bench() { scsi_close(device); }

    // What was sent after the open, in order.
    std::vector<std::string> sent() const { return test_support::traced_cdbs(bus.trace_file()); }
    std::vector<std::string> sleeps() const { return test_support::trace_lines(bus.trace_file(), "sleep "); }

    test_support::installed_bus bus;
    scsi_device device = test_support::open_drive(0);
};

sim_json lto_drive(std::vector<sim_json> faults = {}, bool lto = true) {
    sim_json drive = test_support::ultrium_drive(0, "2.05", "0x00a4");
    drive["lto"] = lto;
    drive["faults"] = faults;
    return drive;
}

sim_json check(const std::string& cdb, const std::string& sense) {
    sim_json rule = fault(cdb, "check");
    rule["sense"] = sense;
    return rule;
}

TEST(LtoProbe, AnswersFromTheAssigningOrganization) {
    {
        probe_bench bench(lto_drive());
        EXPECT_TRUE(scsi_is_lto_drive(bench.device));
        EXPECT_EQ(bench.sent(), std::vector<std::string>{density_cdb});
    }
    {
        probe_bench bench(lto_drive({}, false));
        EXPECT_FALSE(scsi_is_lto_drive(bench.device));
        EXPECT_EQ(bench.sent(), std::vector<std::string>{density_cdb});
    }
    {
        // GOOD without data is an answer, not a failure: no second attempt.
        sim_json empty = fault("44", "short");
        empty["moved"] = 0;
        probe_bench bench(lto_drive({empty}));
        EXPECT_FALSE(scsi_is_lto_drive(bench.device));
        EXPECT_EQ(bench.sent(), std::vector<std::string>{density_cdb});
    }
}

TEST(LtoProbe, BusyDriveIsPolledUntilTheWindowClosesInSimulatedTime) {
    // 100 ms per command and a 10-second timeout: the clock starts on a
    // whole second, so the window [start, start + 10] lasts 110 commands.
    probe_bench bench(lto_drive({fault("44", "busy")}), 100);
    scsi_set_timeout(bench.device, 10000);
    EXPECT_FALSE(scsi_is_lto_drive(bench.device));

    std::vector<std::string> expected(110, density_cdb);
    expected.push_back(sense_cdb);  // the remembered sense key is 0, not NOT READY
    expected.push_back(density_cdb);
    EXPECT_EQ(bench.sent(), expected);
    EXPECT_EQ(bench.device.scsi_status, scsi_status_busy);
}

TEST(LtoProbe, EarlierSenseIsNotTakenForTheBusyDrivesAnswer) {
    probe_bench bench(lto_drive({fault("44", "busy")}), 1000);
    bench.device.sense_key = 2;  // from an earlier CHECK CONDITION
    scsi_set_timeout(bench.device, 3000);
    EXPECT_FALSE(scsi_is_lto_drive(bench.device));
    std::vector<std::string> expected(4, density_cdb);
    expected.push_back(sense_cdb);
    expected.push_back(density_cdb);
    EXPECT_EQ(bench.sent(), expected);
}

TEST(LtoProbe, IllegalRequestGetsRequestSenseAndOneMoreAttempt) {
    sim_json once = check("44", "05 24 00");
    once["count"] = 1;
    probe_bench bench(lto_drive({once}));
    EXPECT_TRUE(scsi_is_lto_drive(bench.device));
    EXPECT_EQ(bench.sent(), (std::vector<std::string>{density_cdb, sense_cdb, density_cdb}));
}

TEST(LtoProbe, SettlingDriveIsAskedAgainASecondApart) {
    struct row {
        const char* why;
        std::string sense;
        int count;  // faulted answers, then the drive answers
        bool lto;
        std::vector<std::string> sent;
    };
    const std::vector<std::string> four(4, density_cdb);
    std::vector<std::string> four_then_sense = four;
    four_then_sense.insert(four_then_sense.end(), {sense_cdb, density_cdb});
    const row rows[] = {
        {"unit attention once", "06 29 00", 1, true, {density_cdb, density_cdb}},
        {"not ready three times", "02 04 01", 3, true, four},
        {"not ready throughout ends the probe", "02 04 01", 100, false, four},
        // Sense byte 2 is compared whole at the end: 42h (NOT READY plus
        // end-of-medium) is not 2, so the sense is fetched and one more sent.
        {"not ready with a flag", "42 04 01", 100, false, four_then_sense},
    };
    for (const row& r : rows) {
        sim_json rule = check("44", r.sense);
        rule["count"] = r.count;
        probe_bench bench(lto_drive({rule}));
        EXPECT_EQ(scsi_is_lto_drive(bench.device), r.lto) << r.why;
        EXPECT_EQ(bench.sent(), r.sent) << r.why;
        EXPECT_EQ(bench.sleeps(), std::vector<std::string>(r.sent.size() == 2 ? 1 : 3, "sleep 1000")) << r.why;
    }
}

sim_json ktr320(std::vector<sim_json> faults = {}) {
    sim_json drive = test_support::other_drive(0, "KTR320", "1.10", "0x0320");
    drive["faults"] = faults;
    return drive;
}

// A page C0h of 96 bytes with `text` at `offset` and zeros elsewhere.
std::string page_c0_with(const std::string& text, std::size_t offset) {
    std::string hex = "00c0";
    for (std::size_t i = 2; i < 96; ++i) {
        const bool in_text = i >= offset && i < offset + text.size();
        const unsigned byte = in_text ? static_cast<unsigned char>(text[i - offset]) : 0;
        static const char digits[] = "0123456789abcdef";
        hex += digits[byte >> 4];
        hex += digits[byte & 15];
    }
    return hex;
}

struct config_case {
    const char* name;
    sim_json drive;
    int result;
    std::vector<std::string> sent;
};

TEST(ConfigProbe, LooksAt73ThenSearchesThenReadsTheBuffer) {
    const auto with_page = [](const std::string& page, std::vector<sim_json> faults = {}) {
        sim_json drive = ktr320(std::move(faults));
        drive["c0_hex"] = page;
        return drive;
    };
    sim_json empty_page = fault("12 01 c0", "short");
    empty_page["moved"] = 0;
    const config_case cases[] = {
        {"built page, HW_CONF at 73", ktr320(), 0, {page_c0_cdb}},
        {"HW_CONF at 73 without the equals", with_page(page_c0_with("HW_CONF", 73)), 0, {page_c0_cdb}},
        {"HW_CONF = elsewhere", with_page(page_c0_with("HW_CONF = 0x0320", 40)), 0, {page_c0_cdb}},
        {"HW_CONF = at the very end", with_page(page_c0_with("HW_CONF = ", 86)), 0, {page_c0_cdb}},
        {"HW_CONF elsewhere without equals", with_page(page_c0_with("HW_CONF 0x0320", 40)), 0,
         {page_c0_cdb, read_buffer_cdb}},
        {"no configuration text", with_page(page_c0_with("FW = 1.10", 5)), 0, {page_c0_cdb, read_buffer_cdb}},
        {"page without data", ktr320({empty_page}), 0, {page_c0_cdb, read_buffer_cdb}},
        {"read buffer refused", with_page(page_c0_with("FW = 1.10", 5), {check("3c", "05 24 00")}),
         identify_drive_config_no_buffer,
         {page_c0_cdb, read_buffer_cdb}},
        {"read buffer busy once", with_page(page_c0_with("FW = 1.10", 5), {[] {
             sim_json rule = fault("3c", "busy");
             rule["count"] = 1;
             return rule;
         }()}), 0, {page_c0_cdb, read_buffer_cdb, read_buffer_cdb}},
        {"read buffer not ready throughout", with_page(page_c0_with("FW = 1.10", 5), {check("3c", "02 04 01")}),
         identify_drive_config_unreadable, {page_c0_cdb, read_buffer_cdb, read_buffer_cdb, read_buffer_cdb, read_buffer_cdb}},
        // Only the drive's own "no such page" tells a drive of another kind;
        // any other failure leaves the drive unexamined.
        {"inquiry refused", ktr320({check("12 01 c0", "05 24 00")}), identify_drive_config_no_page, {page_c0_cdb}},
        {"inquiry host failure", [] {
             sim_json rule = fault("12", "host");
             rule["error"] = "io";
             return ktr320({rule});
         }(), identify_drive_config_unreadable, {page_c0_cdb}},
        {"not ready throughout", ktr320({check("12 01 c0", "02 04 01")}), identify_drive_config_unreadable,
         std::vector<std::string>(4, page_c0_cdb)},
        {"busy once", [] {
             sim_json rule = fault("12 01 c0", "busy");
             rule["count"] = 1;
             return ktr320({rule});
         }(), 0, {page_c0_cdb, page_c0_cdb}},
    };
    for (const config_case& c : cases) {
        probe_bench bench(c.drive);
        EXPECT_EQ(identify_drive_config(bench.device), c.result) << c.name;
        EXPECT_EQ(bench.sent(), c.sent) << c.name;
    }
}

}  // namespace
