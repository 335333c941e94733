#include "scsi/passthrough_block.h"

#include <gtest/gtest.h>

#include <cstring>

#include "support/inquiry_request.h"

namespace {

using block_type = pass_through_block<pass_through_direct_layout>;

using request_fixture = test_support::inquiry_request;

// A block as a driver left it from the previous command, so that the tests
// see what filling resets.
block_type dirty_block() {
    block_type block;
    std::memset(&block, 0xAA, sizeof block);
    return block;
}

TEST(PassThroughBlock, FillsEveryFieldFromRequestAndDevice) {
    request_fixture f;
    f.device.card = 0x101;
    f.device.address = 0x203;
    f.device.lun = 0x1FF;
    block_type block = dirty_block();
    fill_pass_through_block(block, f.request);

    const auto& h = block.header;
    EXPECT_EQ(h.Length, sizeof(pass_through_direct_layout));
    EXPECT_EQ(h.ScsiStatus, 0);
    EXPECT_EQ(h.PathId, 0x01);
    EXPECT_EQ(h.TargetId, 0x03);
    EXPECT_EQ(h.Lun, 0xFF);
    EXPECT_EQ(h.CdbLength, 6);
    EXPECT_EQ(h.SenseInfoLength, 64);
    EXPECT_EQ(h.DataIn, pass_through_data_in);
    EXPECT_EQ(h.DataTransferLength, 36u);
    EXPECT_EQ(h.TimeOutValue, 10u);
    EXPECT_EQ(h.DataBuffer, f.data.data());
    EXPECT_EQ(h.SenseInfoOffset, offsetof(block_type, sense));
    const std::uint8_t expected_cdb[16] = {0x12, 0x01, 0xC0, 0x00, 0x24, 0x00};
    EXPECT_EQ(0, std::memcmp(h.Cdb, expected_cdb, sizeof expected_cdb));
    for (std::uint8_t byte : block.sense) ASSERT_EQ(byte, 0);
}

TEST(PassThroughBlock, SenseBufferFollowsStructureOnEightByteBoundary) {
    EXPECT_EQ(offsetof(block_type, sense) % 8, 0u);
    EXPECT_GE(offsetof(block_type, sense), sizeof(pass_through_direct_layout));
    EXPECT_LT(offsetof(block_type, sense), sizeof(pass_through_direct_layout) + 8);
    EXPECT_EQ(sizeof(pass_through_direct_layout), sizeof(void*) == 8 ? 56u : 44u);
}

TEST(PassThroughBlock, TimeoutInWholeSeconds) {
    const struct {
        std::int32_t timeout_ms;
        std::uint32_t seconds;
    } rows[] = {{100000, 100}, {10000, 10}, {1999, 1}, {1000, 1}, {999, 0}, {0, 0}, {-5000, 0}};
    for (const auto& row : rows) {
        request_fixture f;
        f.device.timeout_ms = row.timeout_ms;
        block_type block = dirty_block();
        fill_pass_through_block(block, f.request);
        EXPECT_EQ(block.header.TimeOutValue, row.seconds) << row.timeout_ms << " ms";
    }
}

TEST(PassThroughBlock, TransferLengthAndDirection) {
    const struct {
        std::int32_t direction;
        bool with_buffer;
        std::int32_t data_length;
        std::uint32_t sent_length;
        std::uint8_t data_in;
    } rows[] = {
        {scsi_data_in, true, 1, 2, pass_through_data_in},        // one byte is asked as two
        {scsi_data_out, true, 32768, 32768, pass_through_data_out},
        {scsi_data_in, true, 0, 0, pass_through_data_in},
        {scsi_no_data, false, 0, 0, pass_through_data_unspecified},
        {scsi_no_data, false, 8, 0, pass_through_data_unspecified},  // no buffer, nothing moves
        {7, true, 4, 4, pass_through_data_unspecified},
        {scsi_data_out, true, -4, 0, pass_through_data_out},
    };
    for (const auto& row : rows) {
        request_fixture f;
        f.request.direction = row.direction;
        f.request.data = row.with_buffer ? f.data.data() : nullptr;
        f.request.data_length = row.data_length;
        block_type block = dirty_block();
        fill_pass_through_block(block, f.request);
        EXPECT_EQ(block.header.DataTransferLength, row.sent_length)
            << "direction " << row.direction << " length " << row.data_length;
        EXPECT_EQ(block.header.DataIn, row.data_in) << "direction " << row.direction;
        EXPECT_EQ(block.header.DataBuffer, f.request.data);
    }
}

TEST(PassThroughBlock, OverlongCdbIsCutToSixteenBytes) {
    request_fixture f;
    f.request.cdb_length = 40;
    block_type block = dirty_block();
    fill_pass_through_block(block, f.request);
    EXPECT_EQ(block.header.CdbLength, 16);
}

// A block the way the driver hands it back after a command.
block_type returned_block(const request_fixture& f, std::uint8_t status, std::uint32_t moved,
                          std::uint8_t sense_bytes) {
    block_type block{};
    fill_pass_through_block(block, f.request);
    block.header.ScsiStatus = status;
    block.header.DataTransferLength = moved;
    block.header.SenseInfoLength = sense_bytes;
    for (std::size_t i = 0; i < block.sense.size(); ++i) block.sense[i] = static_cast<std::uint8_t>(0x40 + i);
    block.sense[0] = 0x70;   // current error, fixed format
    block.sense[2] = 0xA5;   // filemark and ILI flags over sense key 5, kept unmasked
    block.sense[12] = 0x24;
    block.sense[13] = 0x01;
    return block;
}

TEST(PassThroughBlock, CheckConditionCopiesSense) {
    request_fixture f;
    const block_type block = returned_block(f, scsi_status_check_condition, 0, 18);
    read_pass_through_block(block, f.request);

    EXPECT_EQ(f.device.scsi_status, 2);
    EXPECT_EQ(f.device.host_status, 0);
    EXPECT_EQ(f.device.sense_length, 18);
    EXPECT_EQ(f.device.sense_key, 0xA5);
    EXPECT_EQ(f.device.asc_ascq, 0x2401);
    EXPECT_EQ(0, std::memcmp(f.device.sense.data(), block.sense.data(), 18));
    EXPECT_EQ(f.device.sense[18], 0);  // bytes past the returned length are not copied
}

TEST(PassThroughBlock, SenseLongerThanBufferIsCut) {
    request_fixture f;
    read_pass_through_block(returned_block(f, scsi_status_check_condition, 0, 200), f.request);
    EXPECT_EQ(f.device.sense_length, 64);
    EXPECT_EQ(f.device.sense[63], 0x40 + 63);
    EXPECT_EQ(f.device.sense_key, 0xA5);
}

TEST(PassThroughBlock, OtherStatusesKeepEarlierSense) {
    for (std::uint8_t status : {scsi_status_good, scsi_status_busy}) {
        request_fixture f;
        read_pass_through_block(returned_block(f, scsi_status_check_condition, 0, 18), f.request);
        read_pass_through_block(returned_block(f, status, 0, 32), f.request);
        EXPECT_EQ(f.device.scsi_status, status);
        EXPECT_EQ(f.device.sense_length, 18) << "status " << int(status);
        EXPECT_EQ(f.device.sense_key, 0xA5);
        EXPECT_EQ(f.device.asc_ascq, 0x2401);
    }
}

// Runs every request through a block, with a "driver" that moves fewer bytes
// than asked, as a tape drive does for a short INQUIRY page.
class short_transfer_transport final : public scsi_transport {
public:
    std::uint8_t status = scsi_status_good;
    std::uint32_t moved = 0;
    int open(scsi_device&) override { return 0; }
    void close(scsi_device&) override {}
    void execute(scsi_request& request) override {
        block_type block;
        fill_pass_through_block(block, request);
        block.header.ScsiStatus = status;
        block.header.DataTransferLength = moved;
        read_pass_through_block(block, request);
    }
};

struct installed {
    explicit installed(scsi_transport& transport) { install_transport(&transport); }
    ~installed() { install_transport(nullptr); }
};

TEST(PassThroughBlock, ExecuteReturnsShortCountOnGoodAndFailsOtherwise) {
    short_transfer_transport transport;
    installed guard(transport);
    request_fixture f;
    f.request.data_length = 255;

    transport.moved = 36;
    EXPECT_EQ(scsi_execute(f.request), 36);
    EXPECT_EQ(f.request.transferred, 36);
    EXPECT_EQ(f.device.transferred, 36);

    transport.moved = 0;
    EXPECT_EQ(scsi_execute(f.request), 0);

    transport.status = scsi_status_busy;
    transport.moved = 12;
    EXPECT_EQ(scsi_execute(f.request), -1);
    EXPECT_EQ(f.device.transferred, 12);
}

TEST(PassThroughBlock, FailedCallMapsErrorCodeToHostStatus) {
    const struct {
        std::uint32_t error_code;
        std::uint8_t host_status;
    } rows[] = {{21, 9}, {1117, 1}, {5, 0xFF}, {1, 0xFF}, {31, 0xFF}};
    for (const auto& row : rows) {
        EXPECT_EQ(pass_through_host_status(row.error_code), row.host_status) << row.error_code;
    }
}

TEST(PassThroughBlock, FailedOpenTellsAHeldDeviceFromNoDevice) {
    // File and path not found: no device. Access denied: a device this
    // process may not open. Sharing violation, busy: a device another
    // program holds.
    const struct {
        std::uint32_t error_code;
        int outcome;
    } rows[] = {{2, transport_open_absent},  {3, transport_open_absent}, {21, transport_open_absent},
                {32, transport_open_held},   {5, transport_open_denied}, {170, transport_open_held}};
    for (const auto& row : rows) {
        EXPECT_EQ(pass_through_open_failure(row.error_code), row.outcome) << row.error_code;
    }
}

}  // namespace
