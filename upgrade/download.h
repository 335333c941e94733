// The two WRITE BUFFER download procedures. Both stream the image chunk by
// chunk through one transfer buffer, never more than its measured size, and
// log the outcome.
#pragma once

#include <string>

#include "scsi/scsi_device.h"
#include "upgrade/image_file.h"
#include "upgrade/progress.h"
#include "upgrade/transfer_buffer.h"

// The first command of a drive's download that failed, and how the drive
// answered it; `command` is null when none failed. A download that failed
// on the host's side (the image ended early) names what failed and has its
// setup-log words in `words`, the drive's outcome then telling nothing.
struct command_failure {
    const char* command;
    scsi_device outcome;
    std::string words;
};

// How a download went, judged from each command's outcome, never from the
// lines logged (a KTR320's closing command may be accepted after a refused
// chunk).
struct download_result {
    bool sent_image;  // a WRITE BUFFER carrying image data went out
    bool completed;   // every chunk was taken whole and so was the closing
                      // command, where one is sent
    int commands;     // WRITE BUFFER commands sent, the closing one included
    long long bytes;  // image bytes the drive took
    command_failure failure;
};

// True when an image of `size` bytes fits the KTR320's download window: its
// last byte's buffer offset (from 65536 up) must fit the 24-bit offset field,
// or the offsets would wrap and overwrite the start of the image.
bool fits_ktr320_buffer(long size);

// The KTR320 takes its image in buffer 1 at offsets from 65536 up, and takes
// it up on a closing command of length 0, which is sent whatever happened
// before it. The caller has checked that the image fits (fits_ktr320_buffer).
download_result download_ktr320(scsi_device& device, firmware_image& image, transfer_buffer& buffer,
                                progress_line& progress);

// Every other drive takes chunks in buffer 0 at offset 0, appended in arrival
// order. An LTO drive takes the image up on a closing mode-5 command; any
// other drive does so by itself once the device is closed.
download_result download_standard(scsi_device& device, firmware_image& image, transfer_buffer& buffer,
                                  progress_line& progress);
