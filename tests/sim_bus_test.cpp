// The simulated bus as a rehearsal of real hardware: downloads by both
// procedures are taken up (or refused) and land in the bus file, a drive
// reboots in simulated time, fault rules count per run, and the trace and the
// clock follow their fixed formats.
#include "sim/simulated_bus.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "platform/clock.h"
#include "scsi/scsi_commands.h"
#include "scsi/scsi_device.h"
#include "support/sim_bus_builder.h"
#include "support/test_support.h"

namespace {

using namespace test_support;

constexpr int chunk_size = 32768;

// The KTR320 procedure: chunks into the buffer window from 64 KiB, then the
// closing command; returns the closing command's result.
int ktr320_download(scsi_device& device, std::string image) {
    int offset = 0x10000;
    for (std::size_t at = 0; at < image.size(); at += chunk_size) {
        const int n = static_cast<int>(std::min<std::size_t>(chunk_size, image.size() - at));
        if (scsi_write_buffer(device, &image[at], 1, 4, offset, n) != n) break;
        offset += n;
    }
    return scsi_write_buffer(device, nullptr, 1, 4, 0, 0);
}

// The standard procedure: chunks at offset 0, then on LTO drives the
// activating command; returns the last command's result.
int standard_download(scsi_device& device, std::string image, bool activate) {
    int result = 0;
    for (std::size_t at = 0; at < image.size(); at += chunk_size) {
        const int n = static_cast<int>(std::min<std::size_t>(chunk_size, image.size() - at));
        result = scsi_write_buffer(device, &image[at], 0, 4, 0, n);
        if (result != n) break;
    }
    return activate ? scsi_write_buffer(device, nullptr, 0, 5, 0, 0) : result;
}

// Opens a drive of the installed bus with the 100-second timeout the scan
// gives its commands.
scsi_device open_as_scanned(std::uint32_t address) {
    scsi_device device = open_drive(address);
    scsi_set_timeout(device, 100000);
    return device;
}

std::string firmware_in_page(scsi_device& device, std::size_t first) {
    std::array<char, 96> page{};
    if (scsi_inquiry(device, 1, 0xC0, page.data(), 96) != 96) return "no page";
    return std::string(page.data() + first, 9);
}

struct download_case {
    const char* name;
    sim_json drive;
    std::string image;
    bool accepted;
};

TEST(SimDownload, EachProcedureIsTakenUpOrRefusedByItsDrive) {
    const sim_json ktr320 = other_drive(0, "KTR320", "1.10", "0x0320");
    const sim_json lto = ultrium_drive(0, "2.05", "0x00a4");
    const sim_json plain = other_drive(0, "KTR900", "1.10", "0x0900");
    const download_case cases[] = {
        {"KTR320, two chunks", ktr320, firmware_image("1.20", "0x0320", 40000), true},
        {"KTR320, no HWCONF", ktr320, firmware_image("1.20", "", 100), true},
        {"KTR320, other hardware", ktr320, firmware_image("1.20", "0x0321", 40000), false},
        {"KTR320, no version", ktr320, std::string(40000, 'x'), false},
        {"LTO, exact multiple of a chunk", lto, firmware_image("2.10", "0x00a4", 65536), true},
        {"LTO, hardware without prefix", lto, firmware_image("2.10", "A4", 100), true},
        {"LTO, other hardware", lto, firmware_image("2.10", "0x00a5", 100), false},
        {"not LTO, taken up on close", plain, firmware_image("1.30", "0x0900", 70000), true},
        {"not LTO, refused on close", plain, firmware_image("1.30", "0x0320", 70000), false},
    };
    for (const download_case& c : cases) {
        const std::string old_firmware = c.drive["firmware"];
        const std::string new_firmware = c.accepted ? c.image.substr(c.image.find("FWVERSION=") + 10, 4) : old_firmware;
        installed_bus installed(bus_of({c.drive}));
        scsi_device device = open_as_scanned(0);
        const std::string product = c.drive["product"];
        const bool ultrium = product == "ULTRIUM-HH6";
        const int result = product == "KTR320" ? ktr320_download(device, c.image)
                                               : standard_download(device, c.image, c.drive["lto"]);
        const bool takes_up_on_close = !c.drive["lto"].get<bool>() && product != "KTR320";
        if (takes_up_on_close) {
            EXPECT_EQ(result, std::min<int>(chunk_size, static_cast<int>(c.image.size()) % chunk_size)) << c.name;
        } else if (c.accepted) {
            EXPECT_EQ(result, 0) << c.name;
        } else {
            EXPECT_EQ(result, -1) << c.name;
            EXPECT_EQ(device.sense_key, 0x05) << c.name;
            EXPECT_EQ(device.asc_ascq, 0x2600) << c.name;
        }
        scsi_close(device);
        EXPECT_EQ(bus_firmware(installed.bus_file(), 0), new_firmware) << c.name;
        EXPECT_FALSE(std::filesystem::exists(installed.bus_file().string() + ".new")) << c.name;

        // The next run reads the drive's flash, the bus file.
        installed.restart();
        scsi_device again = open_as_scanned(0);
        EXPECT_EQ(firmware_in_page(again, ultrium ? 30 : 5), "FW = " + new_firmware) << c.name;
        scsi_close(again);
    }
}

TEST(SimDownload, AFaultedChunkDiscardsWhatWasReceived) {
    // The version is in the first chunk; the second is answered BUSY once.
    sim_json drive = ultrium_drive(0, "2.05", "0x00a4");
    sim_json busy = fault("3b 04", "busy");
    busy["skip"] = 1;
    busy["count"] = 1;
    drive["faults"] = {busy};
    installed_bus installed(bus_of({drive}));
    scsi_device device = open_as_scanned(0);
    std::string image = firmware_image("2.10", "0x00a4", 3 * chunk_size);
    EXPECT_EQ(scsi_write_buffer(device, &image[0], 0, 4, 0, chunk_size), chunk_size);
    EXPECT_EQ(scsi_write_buffer(device, &image[chunk_size], 0, 4, 0, chunk_size), -1);
    EXPECT_EQ(scsi_write_buffer(device, &image[2 * chunk_size], 0, 4, 0, chunk_size), chunk_size);
    EXPECT_EQ(scsi_write_buffer(device, nullptr, 0, 5, 0, 0), -1);
    EXPECT_EQ(device.asc_ascq, 0x2600);
    scsi_close(device);
    EXPECT_EQ(bus_firmware(installed.bus_file(), 0), "2.05");
}

TEST(SimDownload, OtherWriteBufferFormsAreRefused) {
    installed_bus installed(bus_of({other_drive(0, "KTR320", "1.10", "0x0320"),
                                    other_drive(1, "KTR900", "1.10", "0x0900"), ultrium_drive(2, "2.05", "0x00a4")}));
    std::string chunk(100, 'x');
    scsi_device ktr320 = open_as_scanned(0);
    EXPECT_EQ(scsi_write_buffer(ktr320, chunk.data(), 0, 4, 0, 100), -1);       // buffer id 0
    EXPECT_EQ(scsi_write_buffer(ktr320, chunk.data(), 1, 4, 0xFFFF, 100), -1);  // below the window
    EXPECT_EQ(ktr320.asc_ascq, 0x2400);
    scsi_device plain = open_as_scanned(1);
    EXPECT_EQ(scsi_write_buffer(plain, nullptr, 0, 5, 0, 0), -1);  // no activate command
    EXPECT_EQ(scsi_write_buffer(plain, chunk.data(), 1, 4, 0, 100), -1);
    scsi_device lto = open_as_scanned(2);
    EXPECT_EQ(scsi_write_buffer(lto, chunk.data(), 0, 5, 0, 100), -1);  // activate carries no data
    EXPECT_EQ(lto.asc_ascq, 0x2400);
}

TEST(SimReboot, ATakenUpDriveDoesNotOpenForItsRebootTime) {
    sim_json drive = other_drive(3, "KTR320", "1.10", "0x0320");
    drive["reboot_seconds"] = 90;
    installed_bus installed(bus_of({drive, ultrium_drive(4, "2.05", "0x00a4")}));
    scsi_device device = open_as_scanned(3);
    ASSERT_EQ(ktr320_download(device, firmware_image("1.20", "0x0320")), 0);
    scsi_close(device);

    scsi_device probe{};
    probe.address = 3;
    EXPECT_EQ(scsi_open(probe), -1);
    EXPECT_EQ(probe.open_failure, scsi_open_absent);  // gone from the bus while it restarts
    scsi_device other = open_as_scanned(4);  // the other drive is not affected
    scsi_close(other);
    active_clock().sleep_ms(89000);
    EXPECT_EQ(scsi_open(probe), -1);
    active_clock().sleep_ms(1000);
    EXPECT_EQ(scsi_open(probe), 0);
    EXPECT_EQ(firmware_in_page(probe, 5), "FW = 1.20");
    scsi_close(probe);

    const std::vector<std::string> opens = trace_lines(installed.trace_file(), "open 3");
    EXPECT_EQ(opens, (std::vector<std::string>{"open 3 ok", "open 3 fail", "open 3 fail", "open 3 ok"}));
}

TEST(SimReboot, TheRebootBelongsToTheRunThatStartedIt) {
    installed_bus installed(bus_of({ultrium_drive(0, "2.05", "0x00a4")}));
    scsi_device device = open_as_scanned(0);
    ASSERT_EQ(standard_download(device, firmware_image("2.10", "0x00a4"), true), 0);
    scsi_close(device);
    EXPECT_EQ(scsi_open(device), -1);
    installed.restart();
    scsi_device again = open_as_scanned(0);
    EXPECT_EQ(firmware_in_page(again, 30), "FW = 2.10");
}

// Drives that restart come back at their address after reboot, unless an
// answering drive holds it: then at their own, or else the lowest free one.
TEST(SimReboot, DrivesComeBackWhereTheRenumberingRuleSays) {
    struct row {
        const char* why;
        std::vector<int> after;        // address_after_reboot of the drives at 0, 1, 2 (-1: none)
        std::vector<int> taking_up;    // which of them take up an image, in this order
        std::vector<int> addresses;    // where each answers afterwards
    };
    const row rows[] = {
        {"two drives swap", {1, 0, -1}, {0, 1}, {1, 0, 2}},
        // The drive at 1 would move only when it restarts, which it does not.
        {"the new address is held: back at its own", {1, 0, -1}, {0}, {0, 1, 2}},
        // The drive at 2 comes back first, at 0; then 0's new address is
        // held by the drive at 1, its own by the one now at 0.
        {"new and own address held: the lowest free one", {1, 2, 0}, {2, 0}, {2, 1, 0}},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.why);
        sim_bus bus;
        for (int address = 0; address < 3; ++address) {
            sim_json& drive = bus.add(ultrium_drive(address, "2.05", "0x00a4"));
            if (r.after[static_cast<std::size_t>(address)] >= 0) {
                drive["address_after_reboot"] = r.after[static_cast<std::size_t>(address)];
            }
        }
        installed_bus installed(bus);
        for (const int address : r.taking_up) {
            scsi_device device = open_as_scanned(static_cast<std::uint32_t>(address));
            ASSERT_EQ(standard_download(device, firmware_image("2.10", "0x00a4"), true), 0);
            scsi_close(device);
        }
        active_clock().sleep_ms(60000);
        for (int address = 0; address < 3; ++address) {
            const std::string serial = "KV0000000" + std::to_string(address);
            scsi_device device{};
            device.address = static_cast<std::uint32_t>(r.addresses[static_cast<std::size_t>(address)]);
            ASSERT_EQ(scsi_open(device), 0) << serial;
            std::array<char, 64> page{};
            ASSERT_EQ(scsi_inquiry(device, 1, 0x80, page.data(), 64), 14);
            EXPECT_EQ(std::string(page.data() + 4, 10), serial);
            scsi_close(device);
        }
        // The bus file is the hardware: a later run finds each drive where it
        // came back, with its serial number, and no move left to make.
        const sim_json document = sim_json::parse(read_file(installed.bus_file()));
        for (const int address : r.taking_up) {
            const sim_json& drive = document["drives"][static_cast<std::size_t>(address)];
            EXPECT_EQ(drive["address"], r.addresses[static_cast<std::size_t>(address)]);
            EXPECT_EQ(drive["serial"], "KV0000000" + std::to_string(address));
            EXPECT_FALSE(drive.contains("address_after_reboot"));
        }
    }
}

TEST(SimFaults, SkipCountAndTheFirstMatchingRule) {
    sim_json drive = ultrium_drive(0, "2.05", "0x00a4");
    sim_json tur = fault("00", "busy");
    tur["skip"] = 1;
    tur["count"] = 2;
    sim_json any_inquiry = fault("12", "busy");
    any_inquiry["skip"] = 2;
    sim_json page_c1 = fault("12 01 C1", "check");
    page_c1["sense"] = "03 11 00";
    drive["faults"] = {tur, any_inquiry, page_c1};
    installed_bus installed(bus_of({drive}));

    for (int run = 0; run < 2; ++run) {  // counts start afresh in every run
        scsi_device device = open_as_scanned(0);
        std::vector<int> results;
        for (int i = 0; i < 4; ++i) results.push_back(scsi_test_unit_ready(device));
        EXPECT_EQ(results, (std::vector<int>{0, -1, -1, 0})) << "run " << run;

        // The first rule that matches decides, even when it lets the command pass.
        std::array<std::uint8_t, 96> page{};
        EXPECT_EQ(scsi_inquiry(device, 1, 0xC1, page.data(), 96), 96);
        EXPECT_EQ(scsi_inquiry(device, 1, 0xC1, page.data(), 96), 96);
        EXPECT_EQ(scsi_inquiry(device, 1, 0xC1, page.data(), 96), -1);
        EXPECT_EQ(device.scsi_status, scsi_status_busy);
        scsi_close(device);
        installed.restart();
    }
}

struct reply_case {
    const char* name;
    sim_json rule;
    int result;
    std::uint8_t scsi_status, host_status;
    std::uint8_t sense_key;  // after the command (an earlier one left UNIT ATTENTION)
};

TEST(SimFaults, RepliesSetTheOutcomeFields) {
    const auto rule = [](const char* reply, const char* key, sim_json value) {
        sim_json r = fault("12 01 c0", reply);
        if (key) r[key] = value;
        return r;
    };
    const reply_case cases[] = {
        {"busy", rule("busy", nullptr, {}), -1, 0x08, 0x00, 0x00},
        {"conflict", rule("conflict", nullptr, {}), -1, 0x18, 0x00, 0x00},
        {"check", rule("check", "sense", "0b 47 00"), -1, 0x02, 0x00, 0x0B},
        {"host not ready", rule("host", "error", "not_ready"), -1, 0xFF, 0x09, 0x00},
        {"host io", rule("host", "error", "io"), -1, 0xFF, 0x01, 0x00},
        {"host other", rule("host", "error", "timeout"), -1, 0xFF, 0xFF, 0x00},
        {"host without error", rule("host", nullptr, {}), -1, 0xFF, 0xFF, 0x00},
        {"short", rule("short", "moved", 20), 20, 0x00, 0x00, 0x00},
        // The page is 96 bytes: a short reply never invents the rest of the buffer.
        {"short beyond the data", rule("short", "moved", 200), 96, 0x00, 0x00, 0x00},
    };
    for (const reply_case& c : cases) {
        sim_json drive = ultrium_drive(0, "2.05", "0x00a4");
        sim_json attention = fault("00", "check");
        attention["sense"] = "06 29 00";
        attention["count"] = 1;
        drive["faults"] = {attention, c.rule};
        installed_bus installed(bus_of({drive}));
        scsi_device device = open_as_scanned(0);
        scsi_test_unit_ready(device);  // ends in UNIT ATTENTION, which must not show through
        std::array<std::uint8_t, 256> page{};
        EXPECT_EQ(scsi_inquiry(device, 1, 0xC0, page.data(), 256), c.result) << c.name;
        EXPECT_EQ(device.scsi_status, c.scsi_status) << c.name;
        EXPECT_EQ(device.host_status, c.host_status) << c.name;
        EXPECT_EQ(device.sense_key, c.sense_key) << c.name;
        if (c.result > 0) {
            EXPECT_EQ(page[1], 0xC0) << c.name;  // the bytes that did arrive are real
        }
    }
}

TEST(SimTrace, LinesFollowTheTraceGrammar) {
    sim_json held = ultrium_drive(5, "2.05", "0x00a4");
    held["open"] = "fail";
    sim_json refusing = other_drive(3, "KTR320", "1.10", "0x0320");
    sim_json io = fault("12", "host");
    io["error"] = "io";
    refusing["faults"] = {io};
    scratch_dir dir;
    write_file(dir / "trace.txt", "earlier run\n");
    sim_bus bus;
    bus.add(refusing);
    bus.add(held);
    bus.add(ultrium_drive(6, "2.05", "0x00a4"))["open"] = "denied";
    bus.write(dir / "bus.json");
    {
        scoped_sim_bus installed(dir / "bus.json", dir / "trace.txt");
        ASSERT_TRUE(installed.ok()) << installed.error();
        scsi_device device{};
        device.address = 3;
        ASSERT_EQ(scsi_open(device), 0);
        scsi_set_timeout(device, 100000);
        std::string chunk(chunk_size, 'x');
        scsi_write_buffer(device, chunk.data(), 1, 4, 65536, chunk_size);
        device.card = 1;
        device.lun = 2;
        scsi_set_timeout(device, 999);
        scsi_test_unit_ready(device);
        std::array<std::uint8_t, 256> data{};
        scsi_inquiry(device, 0, 0, data.data(), 256);
        scsi_read_buffer(device, data.data(), 0, 2, 0, 0x40);
        scsi_close(device);
        active_clock().sleep_ms(150000);
        // Every failed open is traced alike; the handle tells why.
        const std::pair<std::uint32_t, std::uint8_t> failed_opens[] = {
            {4, scsi_open_absent}, {5, scsi_open_held}, {6, scsi_open_denied}};
        for (const auto& [address, failure] : failed_opens) {
            device.address = address;
            EXPECT_EQ(scsi_open(device), -1) << address;
            EXPECT_EQ(device.open_failure, failure) << address;
        }
    }
    EXPECT_EQ(read_lines(dir / "trace.txt"),
              (std::vector<std::string>{
                  "earlier run",
                  "open 3 ok",
                  "exec 3 path=0 target=3 lun=0 timeout=100 cdb=3b040101000000800000 dir=out len=32768 -> "
                  "status=00 host=00 moved=32768",
                  "exec 3 path=1 target=3 lun=2 timeout=0 cdb=000000000000 dir=none len=0 -> status=00 host=00 "
                  "moved=0",
                  "exec 3 path=1 target=3 lun=2 timeout=0 cdb=12000000ff00 dir=in len=255 -> status=ff host=01 "
                  "moved=0",
                  "exec 3 path=1 target=3 lun=2 timeout=0 cdb=3c020000000000004000 dir=in len=64 -> status=00 "
                  "host=00 moved=64",
                  "close 3",
                  "sleep 150000",
                  "open 4 fail",
                  "open 5 fail",
                  "open 6 fail",
              }));
}

TEST(SimClock, CommandsAndSleepsMoveOnlySimulatedTime) {
    installed_bus installed(bus_of({ultrium_drive(0, "2.05", "0x00a4")}, 250));
    const auto real_start = std::chrono::steady_clock::now();
    const std::int64_t start = active_clock().now_seconds();
    EXPECT_NEAR(static_cast<double>(start), static_cast<double>(std::time(nullptr)), 2.0);
    scsi_device device = open_as_scanned(0);
    for (int i = 0; i < 8; ++i) scsi_test_unit_ready(device);  // 8 x 250 ms
    EXPECT_EQ(active_clock().now_seconds(), start + 2);
    active_clock().sleep_ms(150000);
    EXPECT_EQ(active_clock().now_seconds(), start + 152);
    EXPECT_LT(std::chrono::steady_clock::now() - real_start, std::chrono::seconds(5));
}

TEST(SimSelection, UninstallRestoresThePlatform) {
    scratch_dir dir;
    sim_bus bus;
    bus.add(ultrium_drive(0, "2.05", "0x00a4"));
    bus.write(dir / "bus.json");
    std::string error;
    ASSERT_TRUE(install_simulated_bus((dir / "bus.json").string(), "", error)) << error;
    scsi_device device{};
    EXPECT_EQ(scsi_open(device), 0);
    scsi_close(device);
    uninstall_simulated_bus();
    EXPECT_EQ(scsi_open(device), -1);  // no tape devices on this host
    const std::int64_t before = active_clock().now_seconds();
    EXPECT_LE(before - std::time(nullptr), 1);
}

}  // namespace
