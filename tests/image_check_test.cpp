// Checksums in the catalogue: a damaged image never reaches a drive.
#include "upgrade/image_check.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "inventory/catalogue.h"
#include "platform/sha256.h"
#include "support/capture.h"
#include "support/sim_bus_builder.h"
#include "support/test_support.h"
#include "upgrade/flashing.h"

namespace {

// test_support's firmware_image (the bytes of an image) is named in full:
// the bare name is flashing's open image.
using namespace test_support;
namespace fs = std::filesystem;
using lines = std::vector<std::string>;

std::string hex_of(const sha256_digest& digest) { return hex_text(digest.data(), digest.size()); }

std::string sha256_hex(const std::string& bytes, std::size_t piece) {
    sha256_hasher hasher;
    for (std::size_t at = 0; at < bytes.size(); at += piece) {
        EXPECT_TRUE(hasher.update(reinterpret_cast<const std::uint8_t*>(bytes.data()) + at,
                                  std::min(piece, bytes.size() - at)));
    }
    sha256_digest digest{};
    EXPECT_TRUE(hasher.finish(digest));
    return hex_of(digest);
}

// The published SHA-256 test vectors; the Windows build (CNG, under Wine)
// and the POSIX build (libcrypto) must both give them.
TEST(Sha256, KnownAnswersWhateverThePieces) {
    EXPECT_EQ(sha256_hex("", 1), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(sha256_hex("abc", 1), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    const std::string million(1000000, 'a');
    EXPECT_EQ(sha256_hex(million, 32768), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
    EXPECT_EQ(sha256_hex(million, 999999), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(Catalogue, FourthFieldIsAChecksumOnlyWhenItSaysSo) {
    struct row {
        std::string fourth;
        image_checksum expected;
    };
    const std::string digest(64, 'a');
    const row rows[] = {
        {"", image_checksum::none},
        {"|approved by ops", image_checksum::none},  // any other fourth field is ignored, as always
        {"|sha256:" + digest, image_checksum::sha256},
        {"| SHA256:" + digest + " |whatever", image_checksum::sha256},
        {"|sha256:" + digest.substr(1), image_checksum::malformed},
        {"|sha256:" + digest + "0", image_checksum::malformed},
        {"|sha256:" + digest.substr(1) + "g", image_checksum::malformed},
        {"|sha256:", image_checksum::malformed},
        // Meant as a checksum, but not in its one form: never a silent "no checksum".
        {"|sha256 :" + digest, image_checksum::malformed},
        {"|SHA-256:" + digest, image_checksum::malformed},
        {"|" + digest, image_checksum::malformed},
    };
    scratch_dir dir;
    current_dir cwd(dir.path());
    fs::create_directories(dir / "fwimage");
    auto table = std::make_unique<drive_table>();
    for (const row& r : rows) {
        write_file(dir / "fwimage/firmware.cfg", "0xa4|HH6.BIN|2.10" + r.fourth + "\n");
        ASSERT_EQ(read_catalogue(*table), 1) << r.fourth;
        EXPECT_EQ((*table)[0].checksum, r.expected) << r.fourth;
        EXPECT_EQ((*table)[0].fw_version, 2.10) << r.fourth;
        if (r.expected == image_checksum::sha256) {
            EXPECT_EQ(hex_of((*table)[0].image_sha256), digest);
        }
    }
}

// Two LTO drives of the same configuration on a simulated bus, each to be
// upgraded with the catalogue's HH6.BIN.
class ImageChecksum : public ::testing::Test {
protected:
    ImageChecksum() : systemdrive_("systemdrive", dir_.str().c_str()), cwd_(dir_.path()) {
        fs::create_directories(dir_ / "vtxsystem/log");
        fs::create_directories(dir_ / "fwimage");
        bus_.add(ultrium_drive(1, "2.05", "0x00a4"));
        bus_.add(ultrium_drive(2, "2.05", "0x00a4"));
        bus_.write(dir_ / "bus.json");
        for (int address : {1, 2}) {
            drive_record& record = (*work_)[static_cast<std::size_t>(address - 1)];
            record.in_use = 1;
            record.drive_id = 0xa4;
            copy_text(record.product_id, "ULTRIUM-HH6");
            copy_text(record.action, "upgrade");
            record.fw_version = 2.05;
            record.target_version = 2.10;  // the catalogue's, as planning sets it
            record.device.address = static_cast<std::uint32_t>(address);
        }
    }

    // Flashes both drives with `image` under a catalogue line whose fourth
    // field is `fourth`; returns the failures counted.
    int flash(const std::string& image, const std::string& fourth, const std::string& name = "HH6.BIN") {
        write_file(dir_ / "fwimage/HH6.BIN", image);
        write_file(dir_ / "fwimage/firmware.cfg", "0xa4|" + name + "|2.10|" + fourth + "\n");
        EXPECT_EQ(read_catalogue(*catalogue_), 1);
        scoped_sim_bus bus(dir_ / "bus.json", dir_ / "trace.txt");
        EXPECT_TRUE(bus.ok()) << bus.error();
        int failures = -1;
        capture_stdout([&] { failures = flash_drives(*work_, *catalogue_); });
        return failures;
    }

    // Commands other than the scans' (TEST UNIT READY, INQUIRY): what only a
    // download sends.
    lines download_commands() const {
        lines sent;
        for (const std::string& cdb : traced_cdbs(dir_ / "trace.txt")) {
            if (cdb.compare(0, 2, "00") != 0 && cdb.compare(0, 2, "12") != 0) sent.push_back(cdb.substr(0, 4));
        }
        return sent;
    }

    lines log() const { return read_lines(dir_ / "vtxsystem/log/vtxsetup.log"); }

    scratch_dir dir_;
    scoped_env systemdrive_;
    current_dir cwd_;
    sim_bus bus_;
    std::unique_ptr<drive_table> work_ = std::make_unique<drive_table>();
    std::unique_ptr<drive_table> catalogue_ = std::make_unique<drive_table>();
};

TEST_F(ImageChecksum, MatchingImageOrNoChecksumIsFlashed) {
    const std::string image = test_support::firmware_image("2.10", "0x00a4", 70000);
    for (const std::string& fourth : {std::string(), "sha256:" + sha256_hex(image, image.size()), std::string("link")}) {
        bus_.write(dir_ / "bus.json");
        std::filesystem::remove(dir_ / "trace.txt");
#ifdef _WIN32
        if (fourth == "link") continue;
#endif
        // A link that stays inside the folder is followed as ever.
        if (fourth == "link") {
            write_file(dir_ / "fwimage/releases/HH6-2.10.BIN", image);
            std::filesystem::remove(dir_ / "fwimage/HH6.BIN");
            std::filesystem::create_symlink("releases/HH6-2.10.BIN", dir_ / "fwimage/HH6.BIN");
        }
        EXPECT_EQ(flash(image, fourth == "link" ? "sha256:" + sha256_hex(image, image.size()) : fourth), 0) << fourth;
        EXPECT_EQ(bus_firmware(dir_ / "bus.json", 1), "2.10") << fourth;
        EXPECT_EQ(bus_firmware(dir_ / "bus.json", 2), "2.10") << fourth;
    }
}

TEST_F(ImageChecksum, DamagedOrForeignImageIsNeverSent) {
    const std::string good = test_support::firmware_image("2.10", "0x00a4", 70000);
    const std::string good_digest = "sha256:" + sha256_hex(good, good.size());
    std::string flipped = good;
    flipped[40000] ^= 0x01;
    const std::string other = test_support::firmware_image("2.11", "0x00a4", 70000);
    // Where the image lies: in the folder, through a link that leads out of
    // it, or named through "..".
    enum class placed { in_folder, linked_outside, named_outside };
    struct row {
        const char* why;
        std::string image;
        std::string fourth;
        const char* line;
        placed where = placed::in_folder;
    };
    const char* mismatch = "Firmware image fwimage/HH6.BIN does not match its catalogue checksum";
#ifndef _WIN32
    // Its size and digest are not told either: the log holds these lines only.
    const char* outside = "Firmware image fwimage/HH6.BIN lies outside the firmware folder; it is not sent";
#endif
    std::vector<row> rows = {
        {"a flipped byte", flipped, good_digest, mismatch},
        {"cut short", good.substr(0, 65536), good_digest, mismatch},
        {"another image's digest", good, "sha256:" + sha256_hex(other, 4096), mismatch},
        {"a malformed checksum", good, "sha256:" + sha256_hex(good, good.size()).substr(2),
         "Firmware image fwimage/HH6.BIN has a malformed checksum in the catalogue"},
        {"a name that leads out through ..", good, good_digest,
         "Firmware image fwimage/../OUTSIDE.BIN lies outside the firmware folder; it is not sent",
         placed::named_outside},
    };
#ifndef _WIN32
    rows.push_back({"a link to a file outside the folder", good, good_digest, outside, placed::linked_outside});
    rows.push_back({"a link to a file outside, no checksum", good, "", outside, placed::linked_outside});
#endif
    const std::string failed = "Drive ID: 0x0000a4, Product ID: ULTRIUM-HH6, Action: Failed";
    for (const row& r : rows) {
        std::filesystem::remove(dir_ / "trace.txt");
        std::filesystem::remove(dir_ / "vtxsystem/log/vtxsetup.log");
        std::filesystem::remove(dir_ / "fwimage/HH6.BIN");
        write_file(dir_ / "OUTSIDE.BIN", r.image);
        if (r.where == placed::linked_outside) {
            std::filesystem::create_symlink("../OUTSIDE.BIN", dir_ / "fwimage/HH6.BIN");
        }
        const std::string name = r.where == placed::named_outside ? "../OUTSIDE.BIN" : "HH6.BIN";
        // Each drive fails twice: its image was refused, and it kept its version.
        EXPECT_EQ(flash(r.image, r.fourth, name), 4) << r.why;
        EXPECT_EQ(download_commands(), lines{}) << r.why;  // not even RESERVE
        EXPECT_EQ(log(), (lines{r.line, r.line, failed, failed})) << r.why;
        EXPECT_EQ(bus_firmware(dir_ / "bus.json", 1), "2.05") << r.why;
    }
}

// Whatever happens to the file after its check, every drive is sent the
// bytes that matched, or nothing; the file is hashed once.
TEST(ImageStore, EveryDriveIsSentTheBytesThatWereChecked) {
    const std::string image = test_support::firmware_image("2.10", "0x00a4", 3 * 32768 + 5);
    struct row {
        const char* why;
        std::function<void(const fs::path&)> change;  // may fail where the system denies it: that is fine too
    };
    const row rows[] = {
        {"rewritten", [](const fs::path& p) { std::ofstream(p, std::ios::binary) << std::string(3 * 32768 + 5, 'x'); }},
        {"cut short", [](const fs::path& p) { std::error_code ec; fs::resize_file(p, 1000, ec); }},
        {"extended", [](const fs::path& p) { std::ofstream(p, std::ios::binary | std::ios::app) << "FWVERSION=9.99"; }},
        {"replaced", [](const fs::path& p) {
             std::ofstream(p.string() + ".new", std::ios::binary) << "FWVERSION=9.99";
             std::error_code ec;
             fs::rename(p.string() + ".new", p, ec);
         }},
    };
    const auto read_all = [](::firmware_image* opened) {
        std::string bytes;
        char chunk[4096];
        for (std::size_t n; opened && (n = std::fread(chunk, 1, sizeof chunk, opened->file.get())) > 0;) {
            bytes.append(chunk, n);
        }
        return bytes;
    };
    for (const row& r : rows) {
        scratch_dir dir;
        current_dir cwd(dir.path());
        fs::create_directories(dir / "fwimage");
        write_file(dir / "fwimage/HH6.BIN", image);
        write_file(dir / "fwimage/firmware.cfg", "0xa4|HH6.BIN|2.10|sha256:" + sha256_hex(image, image.size()) + "\n");
        auto catalogue = std::make_unique<drive_table>();
        ASSERT_EQ(read_catalogue(*catalogue), 1);
        drive_record& entry = (*catalogue)[0];
        auto buffer = std::make_unique<transfer_buffer>();
        image_store store;
        const char* problem = "unset";
        EXPECT_EQ(read_all(store.ready(entry, "fwimage/HH6.BIN", *buffer, problem)), image) << r.why;
        r.change(dir / "fwimage/HH6.BIN");
        ::firmware_image* again = store.ready(entry, "fwimage/HH6.BIN", *buffer, problem);
        EXPECT_EQ(read_all(again), image) << r.why;  // from its first byte again, and only those bytes
        EXPECT_EQ(again ? again->size : 0, static_cast<long>(image.size())) << r.why;
        EXPECT_EQ(store.images_hashed(), 1) << r.why;
        // An image that is not there is told as it is without a checksum.
        copy_text(entry.firmware_file, "MISSING.BIN");
        EXPECT_EQ(store.ready(entry, "fwimage/MISSING.BIN", *buffer, problem), nullptr);
        EXPECT_STREQ(problem, "Error open file\n");
    }
}

#ifdef __linux__
// A file that gives other than the size it measured at its open (cut or
// grown while it was read) is not sent, with or without a checksum. A sysfs
// file measures a page and gives a few bytes, every time.
TEST(ImageStore, AnImageThatChangesWhileItIsReadIsNotSent) {
    const fs::path shrinking = "/sys/devices/system/cpu/online";
    if (!fs::is_regular_file(shrinking) || fs::file_size(shrinking) == read_file(shrinking).size()) {
        GTEST_SKIP() << "no sysfs file that measures more than it gives";
    }
    scratch_dir dir;
    current_dir cwd(dir.path());
    scoped_env systemdrive("systemdrive", dir.str().c_str());
    fs::create_directories(dir / "vtxsystem/log");
    // The firmware folder itself leads there: the image lies inside it.
    fs::create_directory_symlink(shrinking.parent_path(), dir / "fwimage");
    drive_record entry{};
    entry.in_use = 1;
    copy_text(entry.firmware_file, "online");
    auto buffer = std::make_unique<transfer_buffer>();
    image_store store;
    const char* problem = "unset";
    image_facts facts{};
    EXPECT_EQ(store.ready(entry, "fwimage/online", *buffer, problem, &facts), nullptr);
    EXPECT_EQ(problem, nullptr);
    EXPECT_STREQ(facts.refusal, "its image changed while it was read");
    EXPECT_FALSE(facts.sha256.has_value());
    EXPECT_EQ(read_lines(dir / "vtxsystem/log/vtxsetup.log"),
              lines{"Firmware image fwimage/online changed while it was read; it is not sent"});
}
#endif

}  // namespace
