#include "scsi/settle_retry.h"

bool is_settling(const scsi_device& device, bool busy_counts) {
    if (device.host_status == 0 && device.scsi_status == scsi_status_busy) return busy_counts;
    return ended_with_sense_key(device, sense_key_not_ready) || ended_with_sense_key(device, sense_key_unit_attention);
}
