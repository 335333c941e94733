// The trace layer around a transport that is not the simulator's: what an
// administrator sends from a real host.
#include "scsi/transport_trace.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/clock.h"
#include "scsi/scsi_commands.h"
#include "scsi/transport.h"
#include "support/capture.h"
#include "support/test_support.h"

namespace {

using namespace test_support;

// A drive at address 2 that opens and refuses every command with fixed sense
// (ILLEGAL REQUEST, 24h/00h), cut to 14 bytes; nothing else on the bus.
class refusing_bus final : public scsi_transport {
public:
    int open(scsi_device& device) override {
        if (device.address != 2) return transport_open_absent;
        device.os_handle = this;
        return 0;
    }
    void close(scsi_device&) override { ++closes; }
    void execute(scsi_request& request) override {
        const std::uint8_t sense[14] = {0x70, 0, 0x05, 0, 0, 0, 0, 6, 0, 0, 0, 0, 0x24, 0x00};
        store_scsi_outcome(request, scsi_status_check_condition, 0, sense, sizeof sense);
    }
    int closes = 0;
};

class still_clock final : public run_clock {
public:
    std::int64_t now_seconds() override { return 0; }
    void sleep_ms(std::uint32_t milliseconds) override { slept += milliseconds; }
    std::uint32_t slept = 0;
};

TEST(TransportTrace, RecordsEveryEventOfAnyTransportAndStepsAsideWhenStopped) {
    scratch_dir dir;
    refusing_bus bus;
    still_clock clock;
    install_transport(&bus);
    install_clock(&clock);
    std::string error;
    ASSERT_TRUE(start_transport_trace((dir / "trace.txt").string(), error)) << error;

    scsi_device absent{};
    absent.address = 5;
    EXPECT_EQ(scsi_open(absent), -1);
    scsi_device device{};
    device.address = 2;
    ASSERT_EQ(scsi_open(device), 0);
    EXPECT_EQ(scsi_test_unit_ready(device), -1);
    active_clock().sleep_ms(1000);
    scsi_close(device);
    stop_transport_trace();

    EXPECT_EQ(read_lines(dir / "trace.txt"),
              (std::vector<std::string>{
                  "open 5 fail", "open 2 ok",
                  "exec 2 path=0 target=2 lun=0 timeout=10 cdb=000000000000 dir=none len=0 -> status=02 host=00 moved=0",
                  "sense 2 7000050000000006000000002400", "sleep 1000", "close 2"}));
    // The events still reached the transport and clock underneath.
    EXPECT_EQ(bus.closes, 1);
    EXPECT_EQ(clock.slept, 1000u);
    // Once stopped, nothing more is traced and the transport is the one it wrapped.
    EXPECT_EQ(&active_transport(), &bus);
    EXPECT_EQ(&active_clock(), &clock);
    install_transport(nullptr);
    install_clock(nullptr);

    EXPECT_FALSE(start_transport_trace((dir / "no-such-folder" / "trace.txt").string(), error));
    EXPECT_NE(error.find("cannot be opened"), std::string::npos);
}

TEST(TransportTrace, AWriteThatFailsIsSaidOnceAndTheRunGoesOn) {
    scratch_dir dir;
    const std::string path = (dir / "trace.txt").string();
    write_file(path, std::string(4096, 'x'));  // earlier runs' lines fill the disk
    refusing_bus bus;
    still_clock clock;
    install_transport(&bus);
    install_clock(&clock);
    std::string error, said;
    ASSERT_TRUE(start_transport_trace(path, error)) << error;
    {
        file_size_limit full_disk(4096);
        said = capture_stderr([&] {
            scsi_device device{};
            device.address = 2;
            EXPECT_EQ(scsi_open(device), 0);
            EXPECT_EQ(scsi_test_unit_ready(device), -1);
            active_clock().sleep_ms(1000);
            scsi_close(device);
        });
        if (!full_disk.active()) said = "no file size limit here";
    }
    stop_transport_trace();
    install_transport(nullptr);
    install_clock(nullptr);
    if (said == "no file size limit here") GTEST_SKIP() << said;
    EXPECT_EQ(said, "kvtapefw: trace file " + path + ": cannot be written (File too large); the trace ends here\n");
    EXPECT_EQ(bus.closes, 1);
    EXPECT_EQ(clock.slept, 1000u);
    EXPECT_EQ(read_file(path), std::string(4096, 'x'));
}

}  // namespace
