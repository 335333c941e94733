#include "scsi/sg_io_linux.h"

#include <gtest/gtest.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <filesystem>

#include "scsi/transport.h"
#include "support/inquiry_request.h"
#include "support/test_support.h"

namespace {

// 60 bytes in, with the scan's 100-second timeout.
struct request_fixture : test_support::inquiry_request {
    request_fixture() : inquiry_request(60, 100000) {}
};

TEST(SgIoLinux, FillsTheHeaderFromRequestAndDevice) {
    request_fixture f;
    sg_io_sense sense;
    sense.fill(0xAA);
    sg_io_hdr_t header;
    fill_sg_io_header(header, f.request, sense);
    EXPECT_EQ(header.interface_id, 'S');
    EXPECT_EQ(header.dxfer_direction, SG_DXFER_FROM_DEV);
    EXPECT_EQ(header.dxfer_len, 60u);
    EXPECT_EQ(header.dxferp, f.data.data());
    EXPECT_EQ(header.cmd_len, 6);
    EXPECT_EQ(header.cmdp, f.request.cdb.data());
    EXPECT_EQ(header.mx_sb_len, 64);
    EXPECT_EQ(header.sbp, sense.data());
    EXPECT_EQ(header.timeout, 100000u);  // milliseconds, not the Windows seconds
    for (std::uint8_t byte : sense) ASSERT_EQ(byte, 0);  // no sense left from the last command

    f.device.timeout_ms = 0;  // 0 would be the kernel's own default
    fill_sg_io_header(header, f.request, sense);
    EXPECT_EQ(header.timeout, 1u);
}

TEST(SgIoLinux, DirectionAndLengthFollowTheBuffer) {
    struct row {
        std::int32_t direction;
        bool has_buffer;
        std::int32_t length;
        int expected_direction;
        unsigned expected_length;
    };
    const row rows[] = {
        {scsi_data_out, true, 32768, SG_DXFER_TO_DEV, 32768},
        {scsi_data_in, true, 1, SG_DXFER_FROM_DEV, 1},  // no Windows-style 1 -> 2
        {scsi_no_data, false, 0, SG_DXFER_NONE, 0},
        {scsi_data_out, true, 0, SG_DXFER_NONE, 0},   // WRITE BUFFER with length 0
        {scsi_data_in, false, 36, SG_DXFER_NONE, 0},  // no buffer: nothing may move
        {7, true, 36, SG_DXFER_NONE, 0},              // an unknown direction moves nothing
    };
    for (const row& r : rows) {
        request_fixture f;
        f.request.direction = r.direction;
        f.request.data = r.has_buffer ? f.data.data() : nullptr;
        f.request.data_length = r.length;
        sg_io_sense sense;
        sg_io_hdr_t header;
        fill_sg_io_header(header, f.request, sense);
        EXPECT_EQ(header.dxfer_direction, r.expected_direction) << r.direction << " " << r.length;
        EXPECT_EQ(header.dxfer_len, r.expected_length) << r.direction << " " << r.length;
        if (r.expected_direction == SG_DXFER_NONE) {
            EXPECT_EQ(header.dxferp, nullptr);
        }
    }
}

struct answer {
    unsigned char status;
    unsigned short host;
    unsigned short driver;
    int resid;
    unsigned char sense_written;
};

struct outcome {
    std::uint8_t scsi_status, host_status;
    std::int32_t transferred;
    std::uint8_t sense_key;
    std::uint16_t asc_ascq;
};

TEST(SgIoLinux, RecordsTheKernelsAnswerAsTheWindowsTransportDoes) {
    struct row {
        const char* what;
        answer in;
        outcome expected;
    };
    const row rows[] = {
        {"good, all moved", {0x00, 0, 0, 0, 0}, {0x00, 0, 60, 0, 0}},
        {"good, short transfer", {0x00, 0, 0, 40, 0}, {0x00, 0, 20, 0, 0}},
        {"check condition with sense", {0x02, 0, 0x08, 60, 18}, {0x02, 0, 0, 0x05, 0x2400}},
        {"busy", {0x08, 0, 0, 60, 0}, {0x08, 0, 0, 0, 0}},
        {"reservation conflict", {0x18, 0, 0, 60, 0}, {0x18, 0, 0, 0, 0}},
        // Kernels before 5.14 set a host byte beside the drive's answer.
        {"reservation conflict with DID_NEXUS_FAILURE", {0x18, 0x11, 0, 60, 0}, {0x18, 0, 0, 0, 0}},
        {"DID_NEXUS_FAILURE alone is a reservation conflict", {0x00, 0x11, 0, 60, 0}, {0x18, 0, 0, 0, 0}},
        {"check condition with DID_TARGET_FAILURE", {0x02, 0x10, 0x08, 60, 18}, {0x02, 0, 0, 0x05, 0x2400}},
        {"sense without its status, with DID_ERROR", {0x00, 0x07, 0x08, 60, 18}, {0x02, 0, 0, 0x05, 0x2400}},
        {"DID_TARGET_FAILURE without status or sense", {0x00, 0x10, 0, 60, 0}, {0xFF, 1, 0, 0, 0}},
        {"device gone (DID_NO_CONNECT)", {0x00, 0x01, 0, 60, 0}, {0xFF, 9, 0, 0, 0}},
        {"transport disrupted", {0x00, 0x0E, 0, 60, 0}, {0xFF, 9, 0, 0, 0}},
        {"aborted on the path (DID_ABORT)", {0x00, 0x05, 0, 60, 0}, {0xFF, 1, 0, 0, 0}},
        {"bus reset", {0x00, 0x08, 0, 60, 0}, {0xFF, 1, 0, 0, 0}},
        {"timed out", {0x00, 0x03, 0, 60, 0}, {0xFF, 0xFF, 0, 0, 0}},
        {"driver error without a host error", {0x00, 0, 0x04, 0, 0}, {0xFF, 0xFF, 0, 0, 0}},
    };
    for (const row& r : rows) {
        request_fixture f;
        sg_io_sense sense{};
        sg_io_hdr_t header;
        fill_sg_io_header(header, f.request, sense);
        // Fixed-format sense: ILLEGAL REQUEST, invalid field in CDB.
        sense[0] = 0x70;
        sense[2] = 0x05;
        sense[7] = 10;
        sense[12] = 0x24;
        header.status = r.in.status;
        header.host_status = r.in.host;
        header.driver_status = r.in.driver;
        header.resid = r.in.resid;
        header.sb_len_wr = r.in.sense_written;
        read_sg_io_header(header, f.request, sense);
        EXPECT_EQ(f.device.scsi_status, r.expected.scsi_status) << r.what;
        EXPECT_EQ(f.device.host_status, r.expected.host_status) << r.what;
        EXPECT_EQ(f.device.transferred, r.expected.transferred) << r.what;
        EXPECT_EQ(f.request.transferred, r.expected.transferred) << r.what;
        EXPECT_EQ(f.device.sense_key, r.expected.sense_key) << r.what;
        EXPECT_EQ(f.device.asc_ascq, r.expected.asc_ascq) << r.what;
        EXPECT_EQ(f.device.sense_length, r.expected.scsi_status == 0x02 ? r.in.sense_written : 0) << r.what;
    }
}

TEST(SgIoLinux, FailedCallsAndOpensAreClassified) {
    EXPECT_EQ(sg_io_call_failure(EIO), 1);
    EXPECT_EQ(sg_io_call_failure(ENODEV), 0xFF);
    EXPECT_EQ(sg_io_call_failure(EINVAL), 0xFF);
    struct row {
        int error;
        int outcome;
        bool permission;
    };
    const row rows[] = {
        {ENOENT, transport_open_absent, false}, {ENXIO, transport_open_absent, false},
        {ENODEV, transport_open_absent, false}, {EBUSY, transport_open_held, false},
        {EACCES, transport_open_denied, true},  {EPERM, transport_open_denied, true},
        {EROFS, transport_open_held, true},  // a read-only node is no missing right
        {EIO, transport_open_held, false},  // there, but not usable now: never taken as empty
    };
    for (const row& r : rows) {
        EXPECT_EQ(linux_open_failure(r.error), r.outcome) << r.error;
        EXPECT_EQ(is_permission_error(r.error), r.permission) << r.error;
    }
}

TEST(SgIoLinux, FindsTheGenericNodeOfATapeDeviceThroughSysfs) {
    test_support::scratch_dir sysfs;
    namespace fs = std::filesystem;
    // /sys/dev/char/9:128 is /dev/nst0; its SCSI device lists its sg node
    // with the node's own device number.
    fs::create_directories(sysfs / "dev/char/9:128/device/scsi_generic/sg4");
    test_support::write_file(sysfs / "dev/char/9:128/device/scsi_generic/sg4/dev", "21:4\n");
    fs::create_directories(sysfs / "dev/char/9:129/device");  // no sg module: no node
    fs::create_directories(sysfs / "dev/char/9:131/device/scsi_generic/sg6");  // no device number
    const generic_node found = generic_node_of_char_device(sysfs.str(), 9, 128);
    EXPECT_EQ(found.name, "sg4");
    EXPECT_EQ(found.major, 21u);
    EXPECT_EQ(found.minor, 4u);
    EXPECT_EQ(generic_node_of_char_device(sysfs.str(), 9, 129).name, "");
    EXPECT_EQ(generic_node_of_char_device(sysfs.str(), 9, 130).name, "");
    EXPECT_EQ(generic_node_of_char_device(sysfs.str(), 9, 131).name, "");
    EXPECT_EQ(linux_tape_path(0), "/dev/nst0");
    EXPECT_EQ(linux_tape_path(255), "/dev/nst255");
}

TEST(SgIoLinux, OnlyTheNamedCharacterDeviceIsTheDrive) {
    struct row {
        const char* what;
        mode_t type;
        unsigned major, minor;
        int wanted_minor;
        bool taken;
    };
    const row rows[] = {
        {"the tape driver's node", S_IFCHR, 9, 128, -1, true},
        {"another driver's node (/dev/null)", S_IFCHR, 1, 3, -1, false},
        {"a block device with the tape major", S_IFBLK, 9, 128, -1, false},
        {"the generic node sysfs names", S_IFCHR, 21, 4, 4, true},
        {"another drive's generic node", S_IFCHR, 21, 5, 4, false},
    };
    for (const row& r : rows) {
        struct stat info {};
        info.st_mode = r.type | 0600;
        info.st_rdev = makedev(r.major, r.minor);
        const unsigned wanted_major = r.wanted_minor < 0 ? scsi_tape_major : 21;
        EXPECT_EQ(is_character_device(info, wanted_major, r.wanted_minor), r.taken) << r.what;
    }
}

}  // namespace
