#include "upgrade/flashing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "inventory/catalogue.h"
#include "platform/interrupt.h"
#include "upgrade/download.h"
#include "scsi/transport.h"
#include "support/capture.h"
#include "support/sim_bus_builder.h"
#include "support/test_support.h"

namespace {

using namespace test_support;
// The bytes of an image; the program's open image is ::firmware_image.
using test_support::firmware_image;
namespace fs = std::filesystem;

// The CDB of a WRITE BUFFER as the trace shows it.
std::string write_buffer_cdb(int mode, int buffer_id, int offset, int length) {
    char text[32];
    std::snprintf(text, sizeof text, "3b%02x%02x%06x%06x00", mode, buffer_id, offset, length);
    return text;
}

// One drive of the work table, as planning or the selection reader leaves it.
struct work_drive {
    int address;
    std::uint32_t drive_id;
    const char* product;
    const char* action;
    double fw_version;
    double planned_target = -1;  // the version the plan was made for; -1: the catalogue's
    const char* serial = "";     // as the scan read it
};

// Each test gets a working folder (with "fwimage"), a system drive with a log
// folder, and a simulated bus it describes drive by drive.
class Flashing : public ::testing::Test {
protected:
    Flashing() : systemdrive_("systemdrive", drive_.str().c_str()), cwd_(work_.path()) {
        fs::create_directories(drive_ / "vtxsystem/log");
        fs::create_directories(work_ / "fwimage");
        clear_table(*work_table_);
        clear_table(*catalogue_);
    }

    // Another row of a table: no log, no plan, no catalogue, and an empty bus
    // unless the row's drives stand on the one the test set up.
    void start_over(bool keep_bus = false) {
        fs::remove(drive_ / "vtxsystem/log/vtxsetup.log");
        if (!keep_bus) bus_ = sim_bus{};
        clear_table(*work_table_);
        clear_table(*catalogue_);
        work_count_ = catalogue_count_ = 0;
    }

    void add_image(const std::string& name, const std::string& content) { write_file(work_ / "fwimage" / name, content); }

    void add_catalogue(std::uint32_t drive_id, const std::string& file, double version) {
        drive_record& entry = (*catalogue_)[catalogue_count_++];
        entry.in_use = 1;
        entry.drive_id = drive_id;
        entry.fw_version = version;
        copy_text(entry.firmware_file, file);
    }

    void add_work(const work_drive& wanted) {
        drive_record& record = (*work_table_)[work_count_++];
        record.in_use = 1;
        record.drive_id = wanted.drive_id;
        copy_text(record.vendor_id, "KV");
        copy_text(record.product_id, wanted.product);
        copy_text(record.action, wanted.action);
        record.fw_version = wanted.fw_version;
        record.target_version = wanted.planned_target;
        record.device.address = static_cast<std::uint32_t>(wanted.address);
        copy_text(record.serial, wanted.serial);
    }

    // `around` runs the flashing; it may put a transport of its own in front.
    int run(const std::function<void(const std::function<void()>&)>& around = nullptr) {
        // As planning leaves it: the plan was made for the catalogue's version.
        for (drive_record& record : *work_table_) {
            const drive_record* entry = find_by_drive_id(record.drive_id, *catalogue_);
            if (record.in_use != 0 && record.target_version < 0) record.target_version = entry ? entry->fw_version : 0;
        }
        installed_.reset();  // one bus installed at a time
        installed_ = std::make_unique<installed_bus>(bus_);
        int failures = -1;
        const std::function<void()> flash = [&] {
            out_ = capture_stdout([&] { failures = flash_drives(*work_table_, *catalogue_); });
        };
        around ? around(flash) : flash();
        return failures;
    }

    std::vector<std::string> log() const { return read_lines(drive_ / "vtxsystem/log/vtxsetup.log"); }
    fs::path trace_file() const { return installed_->trace_file(); }

    // The WRITE BUFFER commands sent to one device, CDB by CDB.
    std::vector<std::string> write_buffers(int address) const {
        std::vector<std::string> cdbs;
        for (const std::string& cdb : traced_cdbs(trace_file(), address)) {
            if (cdb.rfind("3b", 0) == 0) cdbs.push_back(cdb);
        }
        return cdbs;
    }

    bool trace_has(const std::string& start) const { return !trace_lines(trace_file(), start).empty(); }

    scratch_dir drive_, work_;
    scoped_env systemdrive_;
    current_dir cwd_;
    sim_bus bus_;
    std::unique_ptr<installed_bus> installed_;
    std::unique_ptr<drive_table> work_table_ = std::make_unique<drive_table>();
    std::unique_ptr<drive_table> catalogue_ = std::make_unique<drive_table>();
    std::size_t work_count_ = 0, catalogue_count_ = 0;
    std::string out_;
};

using lines = std::vector<std::string>;

TEST_F(Flashing, Ktr320ImageInTwoChunksFromOffset65536) {
    bus_.add(other_drive(3, "KTR320", "1.10", "0x0320"));
    add_image("KTR.BIN", firmware_image("1.20", "0x0320", 40000));
    add_catalogue(0x320, "KTR.BIN", 1.20);
    add_work({3, 0x320, "KTR320", "upgrade", 1.10});

    EXPECT_EQ(run(), 0);
    EXPECT_EQ(write_buffers(3), (lines{write_buffer_cdb(4, 1, 65536, 32768), write_buffer_cdb(4, 1, 98304, 7232),
                                       write_buffer_cdb(4, 1, 0, 0)}));
    EXPECT_EQ(log(), (lines{"Drive ID: 0x000320, Product ID: KTR320, Action: upgrade", "File name: fwimage/KTR.BIN",
                            "firmware is being flashed - WAIT!",
                            "Drive ID: 0x000320, Product ID: KTR320, Action: upgrade"}));
    EXPECT_TRUE(trace_has("sleep 150000"));
    EXPECT_EQ(out_, "");
    // RESERVE goes out with the 10-second timeout of open, the download with 100 seconds.
    EXPECT_TRUE(trace_has("exec 3 path=0 target=3 lun=0 timeout=10 cdb=16"));
    EXPECT_TRUE(trace_has("exec 3 path=0 target=3 lun=0 timeout=100 cdb=" + write_buffer_cdb(4, 1, 65536, 32768)));
}

TEST_F(Flashing, ExactMultipleOfTheChunkSizeSendsNoEmptyChunk) {
    bus_.add(ultrium_drive(1, "2.05", "0x00a4"));
    add_image("HH6.BIN", firmware_image("2.10", "0x00a4", 2 * 32768));
    add_catalogue(0xa4, "HH6.BIN", 2.10);
    add_work({1, 0xa4, "ULTRIUM-HH6", "upgrade", 2.05});

    EXPECT_EQ(run(), 0);
    EXPECT_EQ(write_buffers(1), (lines{write_buffer_cdb(4, 0, 0, 32768), write_buffer_cdb(4, 0, 0, 32768),
                                       write_buffer_cdb(5, 0, 0, 0)}));
    EXPECT_EQ(log().at(2), "firmware is being flashed!");
    EXPECT_EQ(log().back(), "Drive ID: 0x0000a4, Product ID: ULTRIUM-HH6, Action: upgrade");
}

TEST_F(Flashing, EveryDownloadStartsAfresh) {
    // An LTO drive with a short last chunk, then two KTR320 drives.
    bus_.add(ultrium_drive(1, "2.05", "0x00a4"));
    bus_.add(other_drive(2, "KTR320", "1.10", "0x0320"));
    bus_.add(other_drive(4, "KTR320", "1.10", "0x0321"));
    add_image("HH6.BIN", firmware_image("2.10", "0x00a4", 40000));
    add_image("KTR.BIN", firmware_image("1.20", "0x0320", 33000));
    add_image("KTR1.BIN", firmware_image("1.30", "0x0321", 32768));
    add_catalogue(0xa4, "HH6.BIN", 2.10);
    add_catalogue(0x320, "KTR.BIN", 1.20);
    add_catalogue(0x321, "KTR1.BIN", 1.30);
    add_work({1, 0xa4, "ULTRIUM-HH6", "upgrade", 2.05});
    add_work({2, 0x320, "KTR320", "upgrade", 1.10});
    add_work({4, 0x321, "KTR320", "upgrade", 1.10});

    EXPECT_EQ(run(), 0);
    EXPECT_EQ(write_buffers(1), (lines{write_buffer_cdb(4, 0, 0, 32768), write_buffer_cdb(4, 0, 0, 7232),
                                       write_buffer_cdb(5, 0, 0, 0)}));
    EXPECT_EQ(write_buffers(2), (lines{write_buffer_cdb(4, 1, 65536, 32768), write_buffer_cdb(4, 1, 98304, 232),
                                       write_buffer_cdb(4, 1, 0, 0)}));
    EXPECT_EQ(write_buffers(4), (lines{write_buffer_cdb(4, 1, 65536, 32768), write_buffer_cdb(4, 1, 0, 0)}));
    // One settle wait for all three drives.
    EXPECT_EQ(trace_lines(trace_file(), "sleep").size(), 1u);
}

TEST_F(Flashing, MissingImage) {
    struct row {
        const char* action;
        double catalogue_version;
        bool with_checksum;
    };
    // A drive whose image never went out has not run what its plan promised,
    // even when its version was to stay as it is; a checksum changes nothing.
    const row rows[] = {{"upgrade", 2.10, false}, {"rewrite", 2.05, false}, {"upgrade", 2.10, true}};
    bus_.add(ultrium_drive(1, "2.05", "0x00a4"));
    for (const row& r : rows) {
        SCOPED_TRACE(std::string(r.action) + (r.with_checksum ? " with checksum" : ""));
        start_over(true);
        add_catalogue(0xa4, "HH6.BIN", r.catalogue_version);
        if (r.with_checksum) (*catalogue_)[0].checksum = image_checksum::sha256;
        add_work({1, 0xa4, "ULTRIUM-HH6", r.action, 2.05});

        EXPECT_EQ(run(), 1);
        EXPECT_EQ(log(), (lines{std::string("Drive ID: 0x0000a4, Product ID: ULTRIUM-HH6, Action: ") + r.action,
                                "File name: fwimage/HH6.BIN", "Error open file",
                                "Drive ID: 0x0000a4, Product ID: ULTRIUM-HH6, Action: Failed"}));
        EXPECT_TRUE(write_buffers(1).empty());
        EXPECT_FALSE(trace_has("sleep"));  // nothing was downloaded, so nothing to wait for
        EXPECT_EQ(out_, "\n here 3\n");
    }
}

TEST_F(Flashing, StandardChunkFailureNamesTheChunk) {
    sim_json refused = fault("3b04", "check");
    refused.update({{"skip", 1}, {"count", 1}, {"sense", "05 2c 00"}});
    bus_.add(other_drive(2, "VXA-320", "3.00", "0x0b20"))["faults"] = {refused};
    add_image("VXA.BIN", firmware_image("3.10", "0x0b20", 3 * 32768));
    add_catalogue(0xb20, "VXA.BIN", 3.10);
    add_work({2, 0xb20, "VXA-320", "upgrade", 3.00});

    EXPECT_EQ(run(), 1);
    EXPECT_EQ(write_buffers(2), (lines{write_buffer_cdb(4, 0, 0, 32768), write_buffer_cdb(4, 0, 0, 32768)}));
    EXPECT_EQ(log(), (lines{"Drive ID: 0x000b20, Product ID: VXA-320, Action: upgrade", "File name: fwimage/VXA.BIN",
                            "Firmware download failed on chunk 1!", "nbytes = -1, length = 32768",
                            "SCSI WRITE BUFFER on device 2: CHECK CONDITION, ILLEGAL REQUEST, COMMAND SEQUENCE ERROR (2Ch/00h)",
                            "Firmware download failed!", "Drive ID: 0x000b20, Product ID: VXA-320, Action: Failed"}));
    EXPECT_TRUE(trace_has("sleep 150000"));  // the procedure ran to its end
    EXPECT_EQ(out_, "\n here 3\n");
    // The trace shows the drive's own answer right after the refused chunk.
    const lines traced = trace_lines(trace_file());
    const auto chunk = std::find_if(traced.begin(), traced.end(), [](const std::string& line) {
        return line.find("cdb=3b0400000000008000") != std::string::npos && line.find("status=02") != std::string::npos;
    });
    ASSERT_NE(chunk, traced.end());
    ASSERT_NE(chunk + 1, traced.end());
    EXPECT_EQ(*(chunk + 1), "sense 2 700005000000000a000000002c0000000000");
}

TEST_F(Flashing, Ktr320ChunkFailureStillSendsTheClosingCommand) {
    sim_json refused = fault("3b04", "check");
    refused.update({{"count", 1}, {"sense", "05 2c 00"}});
    bus_.add(other_drive(3, "KTR320", "1.10", "0x0320"))["faults"] = {refused};
    add_image("KTR.BIN", firmware_image("1.20", "0x0320", 40000));
    add_catalogue(0x320, "KTR.BIN", 1.20);
    add_work({3, 0x320, "KTR320", "upgrade", 1.10});

    EXPECT_EQ(run(), 1);
    EXPECT_EQ(write_buffers(3), (lines{write_buffer_cdb(4, 1, 65536, 32768), write_buffer_cdb(4, 1, 0, 0)}));
    // The chunk failed, and the drive, having nothing, refused the closing command.
    EXPECT_EQ(log(), (lines{"Drive ID: 0x000320, Product ID: KTR320, Action: upgrade", "File name: fwimage/KTR.BIN",
                            "Firmware download failed!",
                            "SCSI WRITE BUFFER on device 3: CHECK CONDITION, ILLEGAL REQUEST, COMMAND SEQUENCE ERROR (2Ch/00h)",
                            "Firmware download failed!",
                            "SCSI WRITE BUFFER on device 3: CHECK CONDITION, ILLEGAL REQUEST, INVALID FIELD IN PARAMETER LIST (26h/00h)",
                            "Drive ID: 0x000320, Product ID: KTR320, Action: Failed"}));
}

// A chunk lost on the way (the host's call failed, or the drive took less
// than was sent) or an image that ended early leaves the drive with part of
// an image: the command that would take it up is never sent.
TEST_F(Flashing, ImageNotSentWholeIsNeverTakenUp) {
    struct row {
        const char* why;
        sim_json drive;
        sim_json rule;
        lines sent;
    };
    sim_json lost = fault("3b04", "host");
    lost.update({{"skip", 1}, {"error", "io"}});
    sim_json cut = fault("3b04", "short");
    cut["moved"] = 100;
    const row rows[] = {
        {"KTR320, second chunk lost", other_drive(3, "KTR320", "1.10", "0x0320"), lost,
         {write_buffer_cdb(4, 1, 65536, 32768), write_buffer_cdb(4, 1, 98304, 7232)}},
        {"LTO, second chunk lost", ultrium_drive(3, "1.10", "0x0320"), lost,
         {write_buffer_cdb(4, 0, 0, 32768), write_buffer_cdb(4, 0, 0, 7232)}},
        {"LTO, first chunk taken short", ultrium_drive(3, "1.10", "0x0320"), cut, {write_buffer_cdb(4, 0, 0, 32768)}},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.why);
        start_over();
        sim_json drive = r.drive;
        drive["faults"] = {r.rule};
        bus_.add(drive);
        add_image("K.BIN", firmware_image("1.20", "0x0320", 40000));
        add_catalogue(0x320, "K.BIN", 1.20);
        add_work({3, 0x320, drive["product"].get<std::string>().c_str(), "upgrade", 1.10});
        EXPECT_EQ(run(), 1);
        EXPECT_EQ(write_buffers(3), r.sent);
        EXPECT_EQ(bus_firmware(installed_->bus_file(), 3), "1.10");
        const lines got = log();
        EXPECT_NE(std::find(got.begin(), got.end(), "Nothing more is sent to device 3: its image did not go across whole"),
                  got.end());
    }
    // A held copy that gives fewer bytes than it measured: what was read is
    // sent, and nothing after it.
    start_over();
    bus_.add(ultrium_drive(3, "1.10", "0x0320"));
    add_image("K.BIN", firmware_image("1.20", "0x0320", 40000));
    installed_.reset();  // one bus installed at a time
    installed_ = std::make_unique<installed_bus>(bus_);
    scsi_device device = open_drive(3);
    ::firmware_image image{open_file((work_ / "fwimage/K.BIN").string().c_str(), "rb"), 70000};
    auto buffer = std::make_unique<transfer_buffer>();
    progress_line quiet{nullptr, false};
    const download_result result = download_standard(device, image, *buffer, quiet);
    scsi_close(device);
    EXPECT_FALSE(result.completed);
    EXPECT_EQ(result.bytes, 40000);
    // The report gets its reason: the image, not the drive.
    EXPECT_STREQ(result.failure.command, "image read");
    EXPECT_EQ(result.failure.words, "Firmware image ended after 40000 of 70000 bytes");
    EXPECT_EQ(write_buffers(3), (lines{write_buffer_cdb(4, 0, 0, 32768), write_buffer_cdb(4, 0, 0, 7232)}));
    EXPECT_EQ(log().back(), "Nothing more is sent to device 3: its image did not go across whole");
}

TEST_F(Flashing, RefusedImageFailsVerification) {
    bus_.add(ultrium_drive(1, "2.05", "0x00a4"));
    add_image("HH6.BIN", firmware_image("2.10", "0x00a5", 1000));  // built for another configuration
    add_catalogue(0xa4, "HH6.BIN", 2.10);
    add_work({1, 0xa4, "ULTRIUM-HH6", "upgrade", 2.05});

    EXPECT_EQ(run(), 1);
    EXPECT_EQ(log(), (lines{"Drive ID: 0x0000a4, Product ID: ULTRIUM-HH6, Action: upgrade",
                            "File name: fwimage/HH6.BIN", "Firmware download failed!",
                            "SCSI WRITE BUFFER on device 1: CHECK CONDITION, ILLEGAL REQUEST, INVALID FIELD IN PARAMETER LIST (26h/00h)",
                            "Drive ID: 0x0000a4, Product ID: ULTRIUM-HH6, Action: Failed"}));
}

TEST_F(Flashing, SkipOnlyTableWaitsForNothing) {
    bus_.add(ultrium_drive(1, "2.05", "0x00a4"));
    bus_.add(other_drive(2, "KTR320", "1.10", "0x0320"));
    bus_.add(ultrium_drive(6, "4.20", "0x00c8"))["product"] = "ULTRIUM-HH8";  // not in the work table
    add_image("HH6.BIN", firmware_image("2.05", "0x00a4", 100));
    add_catalogue(0xa4, "HH6.BIN", 2.05);
    add_catalogue(0x320, "KTR.BIN", 1.10);
    add_work({1, 0xa4, "ULTRIUM-HH6", "skip", 2.05});
    add_work({2, 0x320, "KTR320", "skip", 1.10});

    EXPECT_EQ(run(), 0);
    EXPECT_FALSE(trace_has("sleep"));
    EXPECT_TRUE(write_buffers(1).empty());
    EXPECT_TRUE(write_buffers(2).empty());
    EXPECT_EQ(log(), (lines{"Drive ID: 0x0000a4, Product ID: ULTRIUM-HH6, Action: skip",
                            "Drive ID: 0x000320, Product ID: KTR320, Action: skip",
                            "Drive ID: 0x0000c8, Product ID: ULTRIUM-HH8 is not suggested to be upgraded."}));
    EXPECT_EQ(out_, "");
}

TEST_F(Flashing, FlashedDriveThatIsLateIsWaitedForThenFails) {
    struct row {
        int reboot_seconds;
        lines verdicts;      // the verification's lines, in scan order
        std::size_t checks;  // ten-second sleeps after the settle wait
        bool hangs = false;  // back, but every INQUIRY times out after 30 s
    };
    const std::string skipped = "Drive ID: 0x000320, Product ID: KTR320, Action: skip";
    const std::string hh6 = "Drive ID: 0x0000a4, Product ID: ULTRIUM-HH6, Action: ";
    const row rows[] = {
        {300, {hh6 + "upgrade", skipped}, 15},  // back within the wait
        {100000, {skipped, hh6 + "Failed"}, 45},
        // The 450 s are on the clock: each look at the hanging drive takes
        // 180 s of them (five TEST UNIT READY and an INQUIRY), so three
        // looks end the wait.
        {60, {skipped, hh6 + "Failed"}, 3, true},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.reboot_seconds);
        start_over();
        sim_json& late = bus_.add(ultrium_drive(1, "2.05", "0x00a4"));
        late["reboot_seconds"] = r.reboot_seconds;
        if (r.hangs) {
            bus_.document["command_ms"] = 30000;
            late["faults"] = {fault("12 00", "host")};
        }
        bus_.add(other_drive(2, "KTR320", "1.10", "0x0320"));
        add_image("HH6.BIN", firmware_image("2.10", "0x00a4", 1000));
        add_catalogue(0xa4, "HH6.BIN", 2.10);
        add_catalogue(0x320, "KTR.BIN", 1.10);
        add_catalogue(0x555, "GONE.BIN", 1.00);
        add_work({1, 0xa4, "ULTRIUM-HH6", "upgrade", 2.05});
        add_work({2, 0x320, "KTR320", "skip", 1.10});
        add_work({9, 0x555, "ULTRIUM-HH7", "skip", 1.00});  // vanished, but was never to be flashed

        const bool failed = r.verdicts.back() != skipped;
        EXPECT_EQ(run(), failed ? 1 : 0);
        lines expected{hh6 + "upgrade", "File name: fwimage/HH6.BIN", "firmware is being flashed!",
                       "Waiting for tape device 1 to come back after its download (at most 450 more seconds)"};
        expected.insert(expected.end(), r.verdicts.begin(), r.verdicts.end());
        EXPECT_EQ(log(), expected);
        EXPECT_EQ(trace_lines(trace_file(), "sleep 150000").size(), 1u);
        EXPECT_EQ(trace_lines(trace_file(), "sleep 10000").size(), r.checks);
        EXPECT_EQ(out_, failed ? "\n here 3\n" : "");
    }
}

// A serial number finds a drive only where it tells drives apart, and a
// drive at a flashed drive's number that answers another one is not it.
TEST_F(Flashing, VerificationTakesADriveBySerialNumberOnlyWhereItTellsDrivesApart) {
    struct row {
        const char* why;
        std::vector<sim_json> drives;
        std::vector<work_drive> work;
        int failures;
        lines log;
    };
    const std::string hh6 = "Drive ID: 0x0000a4, Product ID: ULTRIUM-HH6, Action: ";
    const lines flashed0 = {hh6 + "upgrade", "File name: fwimage/HH6.BIN", "firmware is being flashed!",
                            "Waiting for tape device 0 to come back after its download (at most 450 more seconds)"};
    const auto with = [](sim_json drive, const char* key, const sim_json& value) {
        drive[key] = value;
        return drive;
    };
    const auto plus = [](lines first, const lines& more) {
        first.insert(first.end(), more.begin(), more.end());
        return first;
    };
    const row rows[] = {
        {"another serial number at a flashed drive's number after its restart",
         {ultrium_drive(0, "2.05", "0x00a4")},
         {{0, 0xa4, "ULTRIUM-HH6", "upgrade", 2.05, -1, "HU-OLD"}}, 1,
         plus(flashed0, {"Drive HU-OLD (device 0) answers serial number KV00000000 after its restart", hh6 + "Failed"})},
        {"another serial number at the number of a drive sent nothing is another drive",
         {ultrium_drive(0, "2.10", "0x00a4")},
         {{0, 0xa4, "ULTRIUM-HH6", "upgrade", 2.10, -1, "HU-OLD"}}, 1,
         {"Drive at device 0 already runs version 2.100000, the target of its action upgrade; nothing is sent.",
          hh6 + "Failed"}},
        {"two records with one serial number are told apart by device number",
         {with(with(ultrium_drive(0, "2.05", "0x00a4"), "serial", "DUP"), "reboot_seconds", 100000),
          with(ultrium_drive(1, "2.10", "0x00a4"), "serial", "DUP")},
         {{0, 0xa4, "ULTRIUM-HH6", "upgrade", 2.05, -1, "DUP"}, {1, 0xa4, "ULTRIUM-HH6", "skip", 2.10, -1, "DUP"}}, 1,
         plus(flashed0, {hh6 + "skip", hh6 + "Failed"})},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.why);
        start_over();
        for (const sim_json& drive : r.drives) bus_.add(drive);
        add_image("HH6.BIN", firmware_image("2.10", "0x00a4", 1000));
        add_catalogue(0xa4, "HH6.BIN", 2.10);
        for (const work_drive& wanted : r.work) add_work(wanted);
        EXPECT_EQ(run(), r.failures);
        EXPECT_EQ(log(), r.log);
        EXPECT_EQ(out_.find("came back"), std::string::npos) << out_;
    }
}

// A drive that does not open, and one that another host has reserved, are
// sent no image and count as failures twice: once when they cannot be had,
// once in the verification.
TEST_F(Flashing, DriveThatCannotBeHadFailsTwice) {
    bus_.add(ultrium_drive(1, "2.05", "0x00a4"))["open"] = "fail";
    bus_.add(ultrium_drive(2, "2.05", "0x00a4"))["faults"] = {fault("16", "conflict")};
    add_image("HH6.BIN", firmware_image("2.10", "0x00a4", 1000));
    add_catalogue(0xa4, "HH6.BIN", 2.10);
    add_work({1, 0xa4, "ULTRIUM-HH6", "upgrade", 2.05});
    add_work({2, 0xa4, "ULTRIUM-HH6", "upgrade", 2.05});

    EXPECT_EQ(run(), 4);
    const std::string unreachable = "Error: Unable to access tape drive.";
    const std::string failed = "Drive ID: 0x0000a4, Product ID: ULTRIUM-HH6, Action: Failed";
    EXPECT_EQ(log(), (lines{unreachable, unreachable, "SCSI RESERVE(6) on device 2: RESERVATION CONFLICT", failed, failed}));
    EXPECT_EQ(out_, "\n here 2\n\n here 2\n\n here 3\n\n here 3\n");
    EXPECT_TRUE(trace_has("exec 2 path=0 target=2 lun=0 timeout=10 cdb=160000000000 dir=none len=0 -> status=18"));
    EXPECT_TRUE(write_buffers(2).empty());
    EXPECT_FALSE(trace_has("sleep"));
}

TEST_F(Flashing, ActionWordsAreExact) {
    bus_.add(ultrium_drive(1, "2.05", "0x00a4"));
    bus_.add(ultrium_drive(2, "2.05", "0x00a5"));
    bus_.add(ultrium_drive(3, "2.05", "0x00a6"));
    add_image("HH6.BIN", firmware_image("2.10", "0x00a4", 1000));
    for (std::uint32_t id : {0xa4u, 0xa5u, 0xa6u}) add_catalogue(id, "HH6.BIN", 2.10);
    add_work({1, 0xa4, "ULTRIUM-HH6", "UPGRADE", 2.05});
    add_work({2, 0xa5, "ULTRIUM-HH6", "flash", 2.05});
    add_work({3, 0xa6, "ULTRIUM-HH6", "", 2.05});

    EXPECT_EQ(run(), 3);
    for (int address : {1, 2, 3}) EXPECT_TRUE(write_buffers(address).empty());
    // Each is said to have been left alone before the verification fails it.
    const std::string rest = " is not one of upgrade, downgrade, rewrite, skip; nothing was sent.";
    EXPECT_EQ(log(), (lines{"Drive at device 1: its action \"UPGRADE\"" + rest,
                            "Drive at device 2: its action \"flash\"" + rest,
                            "Drive at device 3: its action \"\"" + rest,
                            "Drive ID: 0x0000a4, Product ID: ULTRIUM-HH6, Action: Failed",
                            "Drive ID: 0x0000a5, Product ID: ULTRIUM-HH6, Action: Failed",
                            "Drive ID: 0x0000a6, Product ID: ULTRIUM-HH6, Action: Failed"}));
    EXPECT_EQ(out_, "\n here 3\n\n here 3\n\n here 3\n");
}

TEST_F(Flashing, DriveWithoutCatalogueEntryIsPassedOver) {
    bus_.add(ultrium_drive(1, "2.05", "0x00a4"));
    add_image("HH6.BIN", firmware_image("2.10", "0x00a4", 1000));
    add_catalogue(0xa5, "HH6.BIN", 2.10);
    add_work({1, 0xa4, "ULTRIUM-HH6", "upgrade", 2.05});
    // Fill every catalogue slot so that no free slot stands in for drive ID 0xa4.
    while (catalogue_count_ < drive_table_slots) add_catalogue(0x1000 + catalogue_count_, "X.BIN", 1.00);

    EXPECT_EQ(run(), 1);  // not flashed, so the verification finds the old version
    EXPECT_TRUE(write_buffers(1).empty());
    EXPECT_EQ(log(), (lines{"Drive ID: 0x0000a4, Product ID: ULTRIUM-HH6, Action: Failed"}));
}

TEST_F(Flashing, TwoDrivesWithTheSameIdAreEachVerifiedAtTheirOwnAddress) {
    bus_.add(ultrium_drive(1, "2.05", "0x00a4"));
    bus_.add(ultrium_drive(2, "2.05", "0x00a4"));
    add_image("HH6.BIN", firmware_image("2.10", "0x00a4", 1000));
    add_catalogue(0xa4, "HH6.BIN", 2.10);
    add_work({1, 0xa4, "ULTRIUM-HH6", "upgrade", 2.05});
    add_work({2, 0xa4, "ULTRIUM-HH6", "skip", 2.05});

    // The second drive kept its version, as the record at its address asked.
    EXPECT_EQ(run(), 0);
    EXPECT_TRUE(write_buffers(2).empty());
    const lines got = log();
    ASSERT_EQ(got.size(), 5u);
    EXPECT_EQ(got[3], "Drive ID: 0x0000a4, Product ID: ULTRIUM-HH6, Action: upgrade");
    EXPECT_EQ(got[4], "Drive ID: 0x0000a4, Product ID: ULTRIUM-HH6, Action: skip");
}

TEST_F(Flashing, EntryWithoutFileNameNeverStreamsTheFolder) {
    bus_.add(ultrium_drive(1, "2.05", "0x00a4"));
    add_image("HH6.BIN", firmware_image("2.10", "0x00a4", 1000));
    add_catalogue(0xa4, "", 2.10);
    add_work({1, 0xa4, "ULTRIUM-HH6", "upgrade", 2.05});

    EXPECT_EQ(run(), 1);
    EXPECT_TRUE(write_buffers(1).empty());
    EXPECT_EQ(log(), (lines{"Drive ID: 0x0000a4, Product ID: ULTRIUM-HH6, Action: upgrade", "File name: fwimage/",
                            "Error open file", "Drive ID: 0x0000a4, Product ID: ULTRIUM-HH6, Action: Failed"}));
}

TEST_F(Flashing, ImageNameMatchesWhateverItsLetterCase) {
    bus_.add(ultrium_drive(1, "2.05", "0x00a4"));
    add_image("hh6.bin", firmware_image("2.10", "0x00a4", 1000));
    add_catalogue(0xa4, "HH6.BIN", 2.10);  // the catalogue stores names upper-cased
    add_work({1, 0xa4, "ULTRIUM-HH6", "upgrade", 2.05});

    EXPECT_EQ(run(), 0);
    EXPECT_EQ(log().at(1), "File name: fwimage/HH6.BIN");
    EXPECT_EQ(write_buffers(1).size(), 2u);
}

TEST_F(Flashing, EmptyImageOnDriveWithoutClosingCommandIsAFailedDownload) {
    bus_.add(other_drive(2, "VXA-320", "3.00", "0x0b20"));
    add_image("VXA.BIN", "");
    add_catalogue(0xb20, "VXA.BIN", 3.10);
    add_work({2, 0xb20, "VXA-320", "upgrade", 3.00});

    EXPECT_EQ(run(), 1);
    EXPECT_TRUE(write_buffers(2).empty());
    EXPECT_EQ(log().at(2), "Firmware download failed!");
}

TEST_F(Flashing, StandardDriveWithoutLtoTakesTheImageOnClose) {
    bus_.add(other_drive(2, "VXA-320", "3.00", "0x0b20"));
    add_image("VXA.BIN", firmware_image("3.10", "0x0b20", 1000));
    add_catalogue(0xb20, "VXA.BIN", 3.10);
    add_work({2, 0xb20, "VXA-320", "upgrade", 3.00});

    EXPECT_EQ(run(), 0);
    EXPECT_EQ(write_buffers(2), (lines{write_buffer_cdb(4, 0, 0, 1000)}));
    EXPECT_EQ(log().at(2), "firmware is being flashed!");
    EXPECT_EQ(log().back(), "Drive ID: 0x000b20, Product ID: VXA-320, Action: upgrade");
}

TEST_F(Flashing, Ktr320ImageBeyondTheBufferOffsetsIsNotSent) {
    bus_.add(other_drive(3, "KTR320", "1.10", "0x0320"));
    add_image("KTR.BIN", firmware_image("1.20", "0x0320", 100));
    fs::resize_file(work_ / "fwimage/KTR.BIN", 0x1000000 - 65536 + 1);  // sparse: costs no disk
    add_catalogue(0x320, "KTR.BIN", 1.20);
    add_work({3, 0x320, "KTR320", "upgrade", 1.10});

    // Refused before the drive is opened: nothing sent, no wait caused.
    EXPECT_EQ(run(), 1);
    EXPECT_EQ(log(), (lines{"Drive ID: 0x000320, Product ID: KTR320, Action: upgrade", "File name: fwimage/KTR.BIN",
                            "Firmware download failed!",
                            "Drive ID: 0x000320, Product ID: KTR320, Action: Failed"}));
    EXPECT_TRUE(write_buffers(3).empty());
    EXPECT_FALSE(trace_has("exec 3 path=0 target=3 lun=0 timeout=10 cdb=16"));
    EXPECT_FALSE(trace_has("sleep"));
}

// An action is checked against the drive's version and the catalogue's
// before anything is sent, and a flashed drive must run the catalogue's
// version after a download that ran to its end.
TEST_F(Flashing, ActionsAreCheckedAgainstTheirTargetAndTheirDownload) {
    struct row {
        const char* why;
        const char* action;
        double catalogue_version;
        std::string image_version;
        double planned_target;  // -1: the catalogue's
        bool chunk_refused;
        bool sent;
        int failures;
        std::string first_line;  // of the log
        std::string verdict;     // the last line of the log
    };
    const std::string success = "Drive ID: 0x0000a4, Product ID: ULTRIUM-HH6, Action: ";
    const std::string failed = success + "Failed";
    const row rows[] = {
        {"downgrade", "downgrade", 2.05, "2.05", -1, false, true, 0, success + "downgrade", success + "downgrade"},
        {"rewrite", "rewrite", 2.10, "2.10", -1, false, true, 0, success + "rewrite", success + "rewrite"},
        {"upgrade to an older image", "upgrade", 2.05, "2.05", -1, false, false, 2,
         "Drive at device 1 runs version 2.100000 and the catalogue holds 2.050000, which the action upgrade does not "
         "allow; it is left untouched.",
         failed},
        {"rewrite with a newer image", "rewrite", 2.20, "2.20", -1, false, false, 2,
         "Drive at device 1 runs version 2.100000 and the catalogue holds 2.200000, which the action rewrite does not "
         "allow; it is left untouched.",
         failed},
        {"upgrade of a drive at its target", "upgrade", 2.10, "2.10", -1, false, false, 0,
         "Drive at device 1 already runs version 2.100000, the target of its action upgrade; nothing is sent.",
         success + "upgrade"},
        {"planned for another version", "downgrade", 2.05, "2.05", 2.08, false, false, 2,
         "Drive at device 1 was planned for version 2.080000, but the catalogue now holds 2.050000; it is left "
         "untouched.",
         failed},
        {"image carries another version", "downgrade", 2.05, "2.07", -1, false, true, 1, success + "downgrade", failed},
        {"rewrite whose download failed", "rewrite", 2.10, "2.10", -1, true, true, 1, success + "rewrite", failed},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.why);
        start_over();
        sim_json& drive = bus_.add(ultrium_drive(1, "2.10", "0x00a4"));
        if (r.chunk_refused) {
            drive["faults"] = {fault("3b04", "check")};
            drive["faults"][0]["sense"] = "05 2c 00";
        }
        add_image("HH6.BIN", firmware_image(r.image_version, "0x00a4", 1000));
        add_catalogue(0xa4, "HH6.BIN", r.catalogue_version);
        add_work({1, 0xa4, "ULTRIUM-HH6", r.action, 2.10, r.planned_target});

        EXPECT_EQ(run(), r.failures);
        EXPECT_EQ(!write_buffers(1).empty(), r.sent);
        EXPECT_EQ(trace_has("sleep"), r.sent);  // a drive sent nothing causes no wait
        const lines got = log();
        ASSERT_FALSE(got.empty());
        EXPECT_EQ(got.front(), r.first_line);
        EXPECT_EQ(got.back(), r.verdict);
    }
}

#ifndef _WIN32
// Passes every command on, and sends the process two interrupts with the
// first chunk of a download, as Ctrl-C and then a service manager would.
class interrupting_transport : public scsi_transport {
public:
    interrupting_transport() : inner_(active_transport()) { install_transport(this); }
    ~interrupting_transport() override { install_transport(&inner_); }
    int open(scsi_device& device) override { return inner_.open(device); }
    void close(scsi_device& device) override { inner_.close(device); }
    void execute(scsi_request& request) override {
        if (request.cdb[0] == 0x3B && request.data_length > 0 && !raised_) {
            raised_ = true;
            std::raise(SIGINT);
            std::raise(SIGTERM);
        }
        inner_.execute(request);
    }

private:
    scsi_transport& inner_;
    bool raised_ = false;
};

TEST_F(Flashing, InterruptWaitsForTheDownloadThenStopsTheRun) {
    bus_.add(other_drive(2, "KTR320", "1.10", "0x0320"));
    bus_.add(other_drive(3, "KTR320", "1.10", "0x0320"));
    add_image("KTR.BIN", firmware_image("1.20", "0x0320", 40000));
    add_catalogue(0x320, "KTR.BIN", 1.20);
    add_work({2, 0x320, "KTR320", "upgrade", 1.10});
    add_work({3, 0x320, "KTR320", "upgrade", 1.10});
    const int failures = run([](const std::function<void()>& flash) {
        interrupting_transport interrupting;
        flash();
    });
    const std::string interrupted =
        "Interrupted while device 2 was being flashed; its download ran to its end, and no further drive is flashed.";
    EXPECT_GT(failures, 0);
    // The first drive got its whole image and the command that takes it up.
    EXPECT_EQ(write_buffers(2), (lines{write_buffer_cdb(4, 1, 65536, 32768), write_buffer_cdb(4, 1, 98304, 7232),
                                       write_buffer_cdb(4, 1, 0, 0)}));
    EXPECT_TRUE(write_buffers(3).empty());
    EXPECT_EQ(log().back(), interrupted);
    EXPECT_EQ(out_, interrupted + "\n");
    EXPECT_FALSE(trace_has("sleep"));
    forget_stop_requests();  // the tests after this one are other runs
}
#endif

}  // namespace
