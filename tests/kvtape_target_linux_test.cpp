// The emulated drives' server: the TCMU command ring as the kernel lays it
// out, and the drive model's sessions, which a target has to end on its own.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "support/sim_bus_builder.h"
#include "support/test_support.h"
#include "tools/kvtape-target/emulated_bus.h"
#include "tools/kvtape-target/tcmu_layout.h"
#include "tools/kvtape-target/tcmu_ring.h"

namespace {

using test_support::scratch_dir;

// A mapped block as the kernel shares it: mailbox, command ring at 4 KiB,
// data area at 64 KiB.
struct fake_ring {
    static constexpr std::size_t ring_offset = 4096;
    static constexpr std::size_t ring_size = 1024;
    static constexpr std::size_t data_offset = 65536;
    // Page-aligned, as the kernel's mapping is: the mailbox's tail field
    // is aligned to a cache line.
    struct alignas(4096) block {
        std::uint8_t bytes[data_offset + 65536];
    };
    std::unique_ptr<block> storage = std::make_unique<block>();
    std::uint8_t* const map = storage->bytes;
    static constexpr std::size_t map_size = sizeof(block);
    std::uint32_t head = 0;
    std::size_t data_at = data_offset;
    std::size_t cdb_at = ring_offset + ring_size;  // CDBs kept out of the ring for simplicity

    fake_ring() {
        auto* mailbox = reinterpret_cast<tcmu_mailbox_layout*>(map);
        mailbox->version = 2;
        mailbox->flags = tcmu_mailbox_flag_cap_read_len;
        mailbox->cmdr_off = ring_offset;
        mailbox->cmdr_size = ring_size;
    }
    tcmu_mailbox_layout& mailbox() { return *reinterpret_cast<tcmu_mailbox_layout*>(map); }
    tcmu_entry_layout& entry_at(std::uint32_t offset) {
        return *reinterpret_cast<tcmu_entry_layout*>(map + ring_offset + offset);
    }

    // Appends a command whose data lies in pieces of the given sizes.
    std::uint32_t add_command(const std::vector<std::uint8_t>& cdb, const std::vector<std::size_t>& pieces) {
        const std::uint32_t at = head;
        tcmu_entry_layout& entry = entry_at(at);
        // Never shorter than a whole entry: the answer takes that much room.
        const std::uint32_t length =
            static_cast<std::uint32_t>(std::max(48 + 16 * pieces.size(), sizeof(tcmu_entry_layout)) + 7) & ~7u;
        entry.hdr.len_op = length | tcmu_op_cmd;
        entry.req.iov_cnt = static_cast<std::uint32_t>(pieces.size());
        std::memcpy(map + cdb_at, cdb.data(), cdb.size());
        entry.req.cdb_off = cdb_at;
        cdb_at += 16;
        iovec* const iovs = entry.req.iov;
        for (std::size_t i = 0; i < pieces.size(); ++i) {
            iovs[i].iov_base = reinterpret_cast<void*>(data_at);
            iovs[i].iov_len = pieces[i];
            data_at += pieces[i];
        }
        head = (head + length) % ring_size;
        mailbox().cmd_head = head;
        return at;
    }
    // Pads the ring up to its end, as the kernel does when a command does not fit.
    void add_pad_to_end() {
        entry_at(head).hdr.len_op = static_cast<std::uint32_t>(ring_size - head) | tcmu_op_pad;
        head = 0;
        mailbox().cmd_head = head;
    }
};

TEST(TcmuRing, AnswersEveryCommandInPlaceAndMovesTheTail) {
    fake_ring ring;
    ring.mailbox().cmd_tail = 960;  // start near the end: the ring wraps
    ring.head = 960;
    ring.add_pad_to_end();
    const std::uint32_t inquiry = ring.add_command({0x12, 0x00, 0x00, 0x00, 0x60, 0x00}, {40, 56});
    const std::size_t inquiry_data = fake_ring::data_offset;
    const std::uint32_t write = ring.add_command({0x3B, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x06, 0x00}, {4, 2});
    std::memcpy(ring.map + fake_ring::data_offset + 96, "FWVERS", 6);
    const std::uint32_t refused = ring.add_command({0x12, 0x01, 0xC3, 0x00, 0x60, 0x00}, {96});

    std::vector<tcmu_command> seen;
    std::vector<std::string> written;
    static const std::uint8_t sense[18] = {0x70, 0, 0x05, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x24};
    std::vector<std::uint8_t> buffer;
    const int answered = serve_ring(ring.map, fake_ring::map_size, buffer, [&](const tcmu_command& c) {
        seen.push_back(c);
        tcmu_answer answer;
        if (c.cdb[0] == 0x3B) {
            written.emplace_back(c.data->begin(), c.data->end());
        } else if (c.cdb[2] == 0x00) {
            for (std::size_t i = 0; i < c.data->size(); ++i) (*c.data)[i] = static_cast<std::uint8_t>(i + 1);
            answer.moved = 50;  // the drive has 50 bytes to return, not 96
        } else {
            answer.status = 0x02;
            answer.sense = sense;
            answer.sense_length = sizeof sense;
        }
        return answer;
    });

    EXPECT_EQ(answered, 3);
    EXPECT_EQ(ring.mailbox().cmd_tail, ring.head);
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].cdb_length, 6u);
    EXPECT_EQ(seen[1].cdb_length, 10u);
    EXPECT_FALSE(seen[0].data_out);
    EXPECT_TRUE(seen[1].data_out);
    ASSERT_EQ(written.size(), 1u);
    EXPECT_EQ(written[0], "FWVERS");  // gathered from both pieces

    // Data in: scattered over both pieces, only what the drive returned.
    EXPECT_EQ(ring.map[inquiry_data], 1);
    EXPECT_EQ(ring.map[inquiry_data + 39], 40);
    EXPECT_EQ(ring.map[inquiry_data + 40], 41);
    EXPECT_EQ(ring.map[inquiry_data + 49], 50);
    EXPECT_EQ(ring.map[inquiry_data + 50], 0);
    EXPECT_EQ(ring.entry_at(inquiry).rsp.scsi_status, 0);
    EXPECT_TRUE(ring.entry_at(inquiry).hdr.uflags & tcmu_uflag_read_len);
    EXPECT_EQ(ring.entry_at(inquiry).rsp.read_len, 50u);
    EXPECT_EQ(ring.entry_at(write).rsp.scsi_status, 0);
    EXPECT_EQ(ring.entry_at(refused).rsp.scsi_status, 2);
    EXPECT_EQ(std::memcmp(ring.entry_at(refused).rsp.sense_buffer, sense, sizeof sense), 0);
}

TEST(TcmuRing, CdbLengthsAndDirections) {
    const std::pair<std::uint8_t, std::size_t> lengths[] = {{0x00, 6}, {0x12, 6}, {0x3B, 10}, {0x44, 10},
                                                             {0x5A, 10}, {0xA0, 12}, {0x88, 16}};
    for (const auto& [code, length] : lengths) EXPECT_EQ(cdb_length_of(code), length) << int(code);
    EXPECT_TRUE(is_data_out(0x3B));
    EXPECT_FALSE(is_data_out(0x3C));
    EXPECT_FALSE(is_data_out(0x12));
}

// A bus of one LTO drive (with the given fault rules) and one drive that
// takes up its image on close.
struct served_bus {
    scratch_dir dir;
    std::filesystem::path bus_file = dir / "bus.json";
    emulated_bus bus;
    std::vector<std::uint8_t> buffer;

    explicit served_bus(test_support::sim_json faults = test_support::sim_json::array()) {
        test_support::sim_bus document;
        test_support::sim_json& lto = document.add(test_support::ultrium_drive(0, "2.05", "0x00a4"));
        lto["reboot_seconds"] = 60;
        lto["faults"] = faults;
        document.add(test_support::other_drive(4, "VXA-320", "1.10", "0x0320"));
        document.write(bus_file);
        load();
    }
    // A fresh run of the program, as the rig asks for one.
    void load() {
        std::string error;
        EXPECT_TRUE(bus.load(bus_file.string(), "", 1000000, error)) << error;
    }
    tcmu_answer send(std::size_t drive, std::vector<std::uint8_t> cdb, const std::string& data, std::int64_t at_ms) {
        tcmu_command command;
        std::copy(cdb.begin(), cdb.end(), command.cdb.begin());
        command.cdb_length = cdb.size();
        command.data_out = is_data_out(cdb[0]);
        buffer.assign(data.begin(), data.end());
        if (!command.data_out) buffer.assign(96, 0);
        command.data = &buffer;
        return bus.answer(drive, command, at_ms);
    }
    std::vector<std::uint8_t> write_buffer(int mode, std::size_t length) {
        return {0x3B, static_cast<std::uint8_t>(mode), 0, 0, 0, 0, 0, static_cast<std::uint8_t>(length >> 8),
                static_cast<std::uint8_t>(length & 0xFF), 0};
    }
};

TEST(EmulatedBus, AnLtoDriveTakesUpOnModeFiveAndRebootsInRealTime) {
    served_bus s;
    const std::string image = test_support::firmware_image("2.10", "0x00a4", 600);
    EXPECT_EQ(s.send(0, s.write_buffer(4, image.size()), image, 1000100).status, 0);
    EXPECT_EQ(s.send(0, s.write_buffer(5, 0), "", 1000200).status, 0);
    EXPECT_EQ(test_support::bus_firmware(s.bus_file, 0), "2.10");
    // Rebooting for 60 s: NOT READY, becoming ready; then ready again.
    const tcmu_answer during = s.send(0, {0x00, 0, 0, 0, 0, 0}, "", 1030000);
    EXPECT_EQ(during.status, 2);
    ASSERT_GE(during.sense_length, 14u);
    EXPECT_EQ(during.sense[2], 0x02);
    EXPECT_EQ(during.sense[12], 0x04);
    EXPECT_EQ(during.sense[13], 0x01);
    EXPECT_EQ(s.send(0, {0x00, 0, 0, 0, 0, 0}, "", 1061000).status, 0);
    const tcmu_answer inquiry = s.send(0, {0x12, 0x01, 0xC0, 0x00, 0x60, 0x00}, "", 1061100);
    EXPECT_EQ(inquiry.status, 0);
    EXPECT_EQ(inquiry.moved, 96u);
}

TEST(EmulatedBus, ADriveWithoutActivateCommandTakesUpWhenIdle) {
    served_bus s;
    const std::string image = test_support::firmware_image("1.20", "0x0320", 600);
    EXPECT_EQ(s.send(1, s.write_buffer(4, image.size()), image, 1000100).status, 0);
    s.bus.end_idle_sessions(1001000, 2000);  // quiet for 0.9 s: still in its session
    EXPECT_EQ(test_support::bus_firmware(s.bus_file, 4), "1.10");
    s.bus.end_idle_sessions(1002100, 2000);
    EXPECT_EQ(test_support::bus_firmware(s.bus_file, 4), "1.20");
    // The other drive was never in a session and did not change.
    EXPECT_EQ(test_support::bus_firmware(s.bus_file, 0), "2.05");
}

TEST(EmulatedBus, AFreshRunStartsFaultCountsAgain) {
    test_support::sim_json busy_once = test_support::fault("12 00", "busy");
    busy_once["count"] = 1;
    served_bus s(test_support::sim_json::array({busy_once}));
    for (int run = 0; run < 2; ++run) {
        if (run > 0) s.load();
        EXPECT_EQ(s.send(0, {0x12, 0, 0, 0, 0x60, 0}, "", 1000001).status, 0x08) << run;
        EXPECT_EQ(s.send(0, {0x12, 0, 0, 0, 0x60, 0}, "", 1000002).status, 0x00) << run;
    }
}

}  // namespace
