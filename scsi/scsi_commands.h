// One builder per SCSI command the program sends. Each fills a request, runs
// it with scsi_execute and returns that result unchanged: bytes moved, or -1.
#pragma once

#include <cstdint>

#include "scsi/scsi_device.h"

int scsi_test_unit_ready(scsi_device& device);
// Allocation length limited to 255.
int scsi_inquiry(scsi_device& device, int evpd, int page_code, void* buffer, int length);
// Allocation length limited to 255.
int scsi_request_sense(scsi_device& device, void* buffer, int length);
// RESERVE(6); 255 reserves for no third party.
int scsi_reserve_unit(scsi_device& device, int proxy_id);
// Offset and length limited to 24 bits; callers never pass negative values.
int scsi_write_buffer(scsi_device& device, void* data, int buffer_id, int mode, int offset, int length);
int scsi_read_buffer(scsi_device& device, void* data, int buffer_id, int mode, int offset, int length);
int scsi_report_density_support(scsi_device& device, int media, int medium_type, void* buffer, int length);
