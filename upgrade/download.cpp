#include "upgrade/download.h"

#include <cstdio>

#include "scsi/scsi_commands.h"
#include "scsi/scsi_probes.h"
#include "upgrade/flash_log.h"

namespace {

// WRITE BUFFER modes: download microcode with offsets (and activate), and
// the same with save, which an LTO drive takes, with no data, as the order to
// store and take up what it was sent.
constexpr int mode_download_with_offsets = 4;
constexpr int mode_download_save_activate = 5;
constexpr int ktr320_buffer_id = 1;
constexpr int ktr320_first_offset = 0x10000;
constexpr int standard_buffer_id = 0;
// The buffer offset field of WRITE BUFFER is 24 bits wide.
constexpr long long largest_buffer_offset = 0xFFFFFF;

// The next chunk of the image, read straight into the transfer buffer.
int read_chunk(firmware_image& image, transfer_buffer& buffer) {
    return static_cast<int>(std::fread(buffer.bytes.data(), 1, buffer.bytes.size(), image.file.get()));
}

}  // namespace

bool fits_ktr320_buffer(long size) {
    return size <= 0 || ktr320_first_offset + static_cast<long long>(size) - 1 <= largest_buffer_offset;
}

void download_ktr320(scsi_device& device, firmware_image& image, transfer_buffer& buffer,
                     progress_line& progress) {
    const int buffer_id = ktr320_buffer_id;
    int buffer_offset = ktr320_first_offset;
    long long sent = 0;
    progress.download(sent, image.size);
    for (int n = read_chunk(image, buffer); n >= 1; n = read_chunk(image, buffer)) {
        if (scsi_write_buffer(device, buffer.bytes.data(), buffer_id, mode_download_with_offsets, buffer_offset, n) != n) {
            log_flash_line("Firmware download failed!\n");
            break;
        }
        buffer_offset += n;
        sent += n;
        progress.download(sent, image.size);
    }
    progress.finish();
    image.file.reset();

    // Sent even after a failed chunk: the drive then drops the partial image.
    if (scsi_write_buffer(device, buffer.bytes.data(), buffer_id, mode_download_with_offsets, 0, 0) < 0) {
        log_flash_line("Firmware download failed!\n");
    } else {
        log_flash_line("firmware is being flashed - WAIT!\n");
    }
}

void download_standard(scsi_device& device, firmware_image& image, transfer_buffer& buffer,
                       progress_line& progress) {
    const bool lto = scsi_is_lto_drive(device);
    int chunk = 0;
    // An empty image sends nothing at all; with no command to judge, the
    // download has not happened and must not read as under way.
    int outcome = -1;
    long long sent = 0;
    progress.download(sent, image.size);
    for (int n = read_chunk(image, buffer); n >= 1; n = read_chunk(image, buffer)) {
        outcome = scsi_write_buffer(device, buffer.bytes.data(), standard_buffer_id, mode_download_with_offsets, 0, n);
        if (outcome != n) {
            log_flash_line("Firmware download failed on chunk %d!\n", chunk);
            log_flash_line("nbytes = %d, length = %d\n", outcome, n);
            break;
        }
        ++chunk;
        sent += n;
        progress.download(sent, image.size);
    }
    progress.finish();
    image.file.reset();

    if (lto) {
        outcome = scsi_write_buffer(device, buffer.bytes.data(), standard_buffer_id, mode_download_save_activate, 0, 0);
    }
    if (outcome < 0) {
        log_flash_line("Firmware download failed!\n");
    } else {
        log_flash_line("firmware is being flashed!\n");
    }
}
