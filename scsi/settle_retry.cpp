#include "scsi/settle_retry.h"

bool is_settling(const scsi_device& device, bool busy_counts) {
    if (device.host_status != 0) return false;
    if (device.scsi_status == scsi_status_busy) return busy_counts;
    if (device.scsi_status != scsi_status_check_condition) return false;
    const std::uint8_t key = device.sense_key & 0x0F;
    return key == sense_key_not_ready || key == sense_key_unit_attention;
}
