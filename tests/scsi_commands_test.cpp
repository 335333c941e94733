// The command blocks the builders send, and scsi_execute's result and sense
// rules, seen through a transport that records each request.
#include "scsi/scsi_commands.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "scsi/scsi_device.h"
#include "scsi/transport.h"
#include "support/test_support.h"

namespace {

std::string hex_of(const std::uint8_t* bytes, int length) {
    return test_support::hex_text(bytes, static_cast<std::size_t>(length));
}

// Records every request and answers with whatever the test set up.
class recording_transport final : public scsi_transport {
public:
    recording_transport() { install_transport(this); }
    ~recording_transport() override { install_transport(nullptr); }

    int open(scsi_device& device) override {
        ++opens;
        if (!open_succeeds) return -1;
        device.os_handle = this;
        return 0;
    }
    void close(scsi_device&) override { ++closes; }
    void execute(scsi_request& request) override {
        last = request;
        ++executed;
        reply(request);
    }

    bool open_succeeds = true;
    int opens = 0;
    int closes = 0;
    int executed = 0;
    scsi_request last{};
    std::function<void(scsi_request&)> reply = [](scsi_request& r) {
        store_scsi_outcome(r, scsi_status_good, r.data_length, nullptr, 0);
    };
};

scsi_device open_device(recording_transport&) {
    scsi_device device{};
    EXPECT_EQ(scsi_open(device), 0);
    return device;
}

struct builder_case {
    const char* name;
    std::function<int(scsi_device&)> send;
    const char* cdb;
    std::int32_t direction;
    std::int32_t data_length;
};

TEST(CommandBuilders, SendTheirCommandBlocks) {
    static std::uint8_t buffer[16];
    void* b = buffer;
    const builder_case cases[] = {
        {"test unit ready", [](scsi_device& d) { return scsi_test_unit_ready(d); }, "000000000000", scsi_no_data, 0},
        {"inquiry standard 256", [b](scsi_device& d) { return scsi_inquiry(d, 0, 0, b, 256); }, "12000000ff00",
         scsi_data_in, 255},
        {"inquiry page c0 96", [b](scsi_device& d) { return scsi_inquiry(d, 1, 0xC0, b, 96); }, "1201c0006000",
         scsi_data_in, 96},
        {"inquiry evpd bit only", [b](scsi_device& d) { return scsi_inquiry(d, 3, 0x1C1, b, 255); }, "1201c100ff00",
         scsi_data_in, 255},
        {"inquiry page without evpd", [b](scsi_device& d) { return scsi_inquiry(d, 0, 0xC1, b, 96); },
         "1200c1006000", scsi_data_in, 96},
        {"request sense 56", [b](scsi_device& d) { return scsi_request_sense(d, b, 56); }, "030000003800",
         scsi_data_in, 56},
        {"request sense 300", [b](scsi_device& d) { return scsi_request_sense(d, b, 300); }, "03000000ff00",
         scsi_data_in, 255},
        {"reserve for nobody", [](scsi_device& d) { return scsi_reserve_unit(d, 255); }, "160000000000", scsi_no_data,
         0},
        {"reserve for initiator 3", [](scsi_device& d) { return scsi_reserve_unit(d, 3); }, "161600000000",
         scsi_no_data, 0},
        {"reserve for initiator 9", [](scsi_device& d) { return scsi_reserve_unit(d, 9); }, "161200000000",
         scsi_no_data, 0},
        {"write buffer chunk", [b](scsi_device& d) { return scsi_write_buffer(d, b, 0, 4, 0, 32768); },
         "3b040000000000800000", scsi_data_out, 32768},
        {"write buffer ktr320 chunk", [b](scsi_device& d) { return scsi_write_buffer(d, b, 1, 4, 65536, 32768); },
         "3b040101000000800000", scsi_data_out, 32768},
        {"write buffer activate", [](scsi_device& d) { return scsi_write_buffer(d, nullptr, 0, 5, 0, 0); },
         "3b050000000000000000", scsi_data_out, 0},
        {"write buffer 24-bit limit", [b](scsi_device& d) { return scsi_write_buffer(d, b, 0, 4, 16777216, 0x7FFFFFFF); },
         "3b0400ffffffffffff00", scsi_data_out, 16777215},
        {"write buffer largest 24-bit", [b](scsi_device& d) { return scsi_write_buffer(d, b, 0, 4, 16777215, 16777215); },
         "3b0400ffffffffffff00", scsi_data_out, 16777215},
        {"write buffer mode and id masked", [b](scsi_device& d) { return scsi_write_buffer(d, b, 0x102, 0xE5, 0x123456, 0x10); },
         "3b050212345600001000", scsi_data_out, 16},
        {"read buffer probe", [b](scsi_device& d) { return scsi_read_buffer(d, b, 1, 1, 256, 48); },
         "3c010100010000003000", scsi_data_in, 48},
        {"read buffer 24-bit limit", [b](scsi_device& d) { return scsi_read_buffer(d, b, 0, 2, 20000000, 16777216); },
         "3c0200ffffffffffff00", scsi_data_in, 16777215},
        {"density support 56", [b](scsi_device& d) { return scsi_report_density_support(d, 0, 0, b, 56); },
         "44000000000000003800", scsi_data_in, 56},
        {"density support both bits", [b](scsi_device& d) { return scsi_report_density_support(d, 1, 1, b, 56); },
         "44030000000000003800", scsi_data_in, 56},
        {"density support low bits only", [b](scsi_device& d) { return scsi_report_density_support(d, 2, 3, b, 56); },
         "44020000000000003800", scsi_data_in, 56},
        {"density support 16-bit limit", [b](scsi_device& d) { return scsi_report_density_support(d, 0, 0, b, 70000); },
         "44000000000000ffff00", scsi_data_in, 65535},
    };
    for (const builder_case& c : cases) {
        recording_transport transport;
        scsi_device device = open_device(transport);
        const int result = c.send(device);
        EXPECT_EQ(hex_of(transport.last.cdb.data(), transport.last.cdb_length), c.cdb) << c.name;
        EXPECT_EQ(transport.last.direction, c.direction) << c.name;
        EXPECT_EQ(transport.last.data_length, c.data_length) << c.name;
        EXPECT_EQ(transport.last.device, &device) << c.name;
        EXPECT_EQ(result, c.data_length) << c.name;
        for (std::size_t i = static_cast<std::size_t>(transport.last.cdb_length); i < 16; ++i) {
            EXPECT_EQ(transport.last.cdb[i], 0) << c.name << " byte " << i;
        }
    }
}

TEST(CommandBuilders, EndWithTheControlByteOfTheDevice) {
    recording_transport transport;
    scsi_device device = open_device(transport);
    device.control = 0x1A5;  // only its low byte goes out
    std::uint8_t buffer[64] = {};
    scsi_test_unit_ready(device);
    EXPECT_EQ(hex_of(transport.last.cdb.data(), transport.last.cdb_length), "0000000000a5");
    scsi_read_buffer(device, buffer, 1, 1, 256, 48);
    EXPECT_EQ(hex_of(transport.last.cdb.data(), transport.last.cdb_length), "3c0101000100000030a5");
    EXPECT_EQ(transport.last.data, buffer);
}

// One outcome of the transport and what scsi_execute makes of it.
struct outcome_case {
    const char* name;
    std::function<void(scsi_request&)> reply;
    int result;
};

TEST(ScsiExecute, ResultIsBytesMovedOnlyWhenBothStatusesAreZero) {
    const outcome_case cases[] = {
        {"good, no data", [](scsi_request& r) { store_scsi_outcome(r, 0, 0, nullptr, 0); }, 0},
        {"good, all data", [](scsi_request& r) { store_scsi_outcome(r, 0, 96, nullptr, 0); }, 96},
        {"good, short", [](scsi_request& r) { store_scsi_outcome(r, 0, 20, nullptr, 0); }, 20},
        {"busy", [](scsi_request& r) { store_scsi_outcome(r, scsi_status_busy, 0, nullptr, 0); }, -1},
        {"check condition with data", [](scsi_request& r) { store_scsi_outcome(r, 2, 96, nullptr, 0); }, -1},
        {"reservation conflict", [](scsi_request& r) { store_scsi_outcome(r, 0x18, 0, nullptr, 0); }, -1},
        {"host failure", [](scsi_request& r) { store_host_failure(r, 9); }, -1},
    };
    for (const outcome_case& c : cases) {
        recording_transport transport;
        transport.reply = c.reply;
        scsi_device device = open_device(transport);
        std::uint8_t buffer[96];
        EXPECT_EQ(scsi_inquiry(device, 1, 0xC0, buffer, 96), c.result) << c.name;
    }
}

TEST(ScsiExecute, SenseDescribesTheLastCommandOnly) {
    constexpr int host_failure = -1;
    struct row {
        const char* why;
        int status;
        std::vector<std::uint8_t> sense;
        std::uint8_t key;
        std::uint16_t asc_ascq;
    };
    const row rows[] = {
        {"fixed, key kept unmasked", 2, {0x70, 0, 0x42, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x04, 0x01}, 0x42, 0x0401},
        {"descriptor", 2, {0x72, 0x05, 0x26, 0x00, 0, 0, 0, 0}, 0x05, 0x2600},
        {"descriptor with the valid bit", 2, {0xF3, 0x02, 0x04, 0x02}, 0x02, 0x0402},
        {"fixed, cut after the key", 2, {0x70, 0, 0x02}, 0x02, 0},
        {"fixed, cut after the ASC", 2, {0x70, 0, 0x05, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x24}, 0x05, 0x2400},
        {"unknown response code", 2, {0x00, 0, 0x05, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x24, 0x00}, 0, 0},
        {"no sense returned", 2, {}, 0, 0},
        // A command that ends otherwise leaves no sense at all.
        {"good", 0, {}, 0, 0},
        {"busy", scsi_status_busy, {}, 0, 0},
        {"host failure", host_failure, {}, 0, 0},
    };
    recording_transport transport;
    scsi_device device = open_device(transport);
    const std::uint8_t earlier[18] = {0x70, 0, 0x02, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x3A, 0x00};
    for (const row& r : rows) {
        // Whatever an earlier command left must not show through.
        transport.reply = [&](scsi_request& q) { store_scsi_outcome(q, 2, 0, earlier, sizeof earlier); };
        scsi_test_unit_ready(device);
        transport.reply = [&](scsi_request& q) {
            if (r.status == host_failure) return store_host_failure(q, 1);
            store_scsi_outcome(q, static_cast<std::uint8_t>(r.status), 0, r.sense.data(), r.sense.size());
        };
        scsi_test_unit_ready(device);
        EXPECT_EQ(device.sense_length, r.sense.size()) << r.why;
        EXPECT_EQ(device.sense_key, r.key) << r.why;
        EXPECT_EQ(device.asc_ascq, r.asc_ascq) << r.why;
        EXPECT_EQ(device.sense[r.sense.size()], 0) << r.why;
    }
}

TEST(ScsiDevice, OpenResetsTheHandleFieldsAndCloseIsSafeTwice) {
    recording_transport transport;
    scsi_device device{};
    device.timeout_ms = 100000;
    device.control = 7;
    device.host_status = 9;
    ASSERT_EQ(scsi_open(device), 0);
    EXPECT_NE(device.os_handle, nullptr);
    EXPECT_EQ(device.timeout_ms, 10000);
    EXPECT_EQ(device.control, 0);
    EXPECT_EQ(device.host_status, 0);
    EXPECT_EQ(scsi_close(device), 0);
    EXPECT_EQ(device.os_handle, nullptr);
    EXPECT_EQ(scsi_close(device), 0);
    EXPECT_EQ(transport.closes, 1);

    transport.open_succeeds = false;
    device.timeout_ms = 5;
    EXPECT_EQ(scsi_open(device), -1);
    EXPECT_EQ(device.os_handle, nullptr);
    EXPECT_EQ(device.timeout_ms, 10000);  // reset whatever the outcome
}

}  // namespace
