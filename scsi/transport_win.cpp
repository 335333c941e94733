// The Windows transport: the tape class driver's SCSI pass-through. Every
// command is one synchronous DeviceIoControl on the tape device, with the
// data moving straight from and to the caller's buffer.
#include <windows.h>
#include <winioctl.h>
#include <ntddscsi.h>

#include <cstdio>

#include "scsi/passthrough_block.h"
#include "scsi/transport.h"

namespace {

using sdk_block = pass_through_block<SCSI_PASS_THROUGH_DIRECT>;

// The block is filled through the mirror's field names, so the SDK's
// structure must have the same layout, field for field.
#define KVFW_SAME_FIELD(field)                                                              \
    static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, field) ==                              \
                          offsetof(pass_through_direct_layout, field) &&                    \
                      sizeof(SCSI_PASS_THROUGH_DIRECT::field) == sizeof(pass_through_direct_layout::field), \
                  "SCSI_PASS_THROUGH_DIRECT field " #field " differs from the published layout")
KVFW_SAME_FIELD(Length);
KVFW_SAME_FIELD(ScsiStatus);
KVFW_SAME_FIELD(PathId);
KVFW_SAME_FIELD(TargetId);
KVFW_SAME_FIELD(Lun);
KVFW_SAME_FIELD(CdbLength);
KVFW_SAME_FIELD(SenseInfoLength);
KVFW_SAME_FIELD(DataIn);
KVFW_SAME_FIELD(DataTransferLength);
KVFW_SAME_FIELD(TimeOutValue);
KVFW_SAME_FIELD(DataBuffer);
KVFW_SAME_FIELD(SenseInfoOffset);
KVFW_SAME_FIELD(Cdb);
#undef KVFW_SAME_FIELD

#ifdef _WIN64
static_assert(sizeof(SCSI_PASS_THROUGH_DIRECT) == 56, "64-bit SCSI_PASS_THROUGH_DIRECT has 56 bytes");
static_assert(offsetof(sdk_block, sense) == 56, "64-bit block: sense right after the structure");
#else
static_assert(sizeof(SCSI_PASS_THROUGH_DIRECT) == 44, "32-bit SCSI_PASS_THROUGH_DIRECT has 44 bytes");
static_assert(offsetof(sdk_block, sense) == 48, "32-bit block: sense after 4 bytes of filler");
static_assert(sizeof(sdk_block) == 112, "32-bit block has 112 bytes");
#endif

static_assert(pass_through_data_out == SCSI_IOCTL_DATA_OUT);
static_assert(pass_through_data_in == SCSI_IOCTL_DATA_IN);
static_assert(pass_through_data_unspecified == SCSI_IOCTL_DATA_UNSPECIFIED);
static_assert(IOCTL_SCSI_PASS_THROUGH_DIRECT == 0x4D014);
static_assert(pass_through_sense_size == sizeof(scsi_device::sense));

class pass_through_transport final : public scsi_transport {
public:
    int open(scsi_device& device) override {
        char name[32];
        std::snprintf(name, sizeof name, "\\\\.\\TAPE%u", static_cast<unsigned>(device.address));
        // Exclusive: a drive being flashed must not see another program's commands.
        HANDLE handle = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (handle == INVALID_HANDLE_VALUE) return pass_through_open_failure(GetLastError());
        device.os_handle = handle;
        return 0;
    }

    void close(scsi_device& device) override { CloseHandle(device.os_handle); }

    void execute(scsi_request& request) override {
        fill_pass_through_block(block_, request);
        DWORD returned = 0;
        const BOOL ok = DeviceIoControl(request.device->os_handle, IOCTL_SCSI_PASS_THROUGH_DIRECT, &block_,
                                        sizeof block_, &block_, sizeof block_, &returned, nullptr);
        if (!ok) {
            store_host_failure(request, pass_through_host_status(GetLastError()));
            return;
        }
        read_pass_through_block(block_, request);
    }

private:
    // One block for the process: there is only ever one command in flight.
    sdk_block block_{};
};

}  // namespace

scsi_transport& platform_transport() {
    static pass_through_transport transport;
    return transport;
}

std::string tape_device_name(std::uint32_t address) { return "\\\\.\\TAPE" + std::to_string(address); }
