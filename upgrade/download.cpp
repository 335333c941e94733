#include "upgrade/download.h"

#include <algorithm>
#include <cstdio>
#include <string>

#include "inventory/text_field.h"
#include "log/setup_log.h"
#include "scsi/scsi_commands.h"
#include "scsi/scsi_probes.h"

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

// Where the chunks of one procedure go: the buffer, the offset of the first
// chunk, and whether each further chunk lands after the one before (KTR320)
// or every chunk is sent at the same offset and appended by the drive.
struct chunk_placement {
    int buffer_id;
    int first_offset;
    bool offset_advances;
};

// How the stream of chunks ended.
struct stream_outcome {
    bool failed;     // a chunk did not go across whole
    int chunk;       // the failed chunk's number, from 0
    int moved;       // what the last WRITE BUFFER returned (-1: none was sent)
    int length;      // the length of the last chunk sent
    bool whole;      // every byte of the image was taken
    long long sent;  // image bytes taken
    scsi_device failed_on;  // how the drive answered the failed chunk
    // Whether a closing command may follow: after the whole image, or after
    // a chunk the drive itself refused (it then drops what it received). A
    // chunk lost on the way (a timeout, a reset, a call that failed, less
    // taken than sent) or an image that ended early leaves the drive with
    // part of an image: nothing more may be sent, least of all the command
    // that takes it up.
    bool may_close;
    std::string image_ended;  // the setup log's words for an image that ended early
};

// The drive answered with a status of its own other than GOOD (CHECK
// CONDITION, BUSY, ...): it refused the chunk, rather than the host losing it.
bool drive_refused(const scsi_device& device) {
    return device.host_status == 0 && device.scsi_status != scsi_status_good && device.scsi_status != 0xFF;
}

// The next chunk of the image, read straight into the transfer buffer; never
// past the size the image had when it was opened (and, with a checksum,
// hashed), so that a file that grows meanwhile adds nothing to the download.
int read_chunk(firmware_image& image, transfer_buffer& buffer, long long sent) {
    const long long left = image.size - sent;
    if (left <= 0) return 0;
    const std::size_t wanted = static_cast<std::size_t>(std::min<long long>(left, buffer.bytes.size()));
    return static_cast<int>(std::fread(buffer.bytes.data(), 1, wanted, image.file.get()));
}

// The line of a failed download, and how the drive answered the WRITE
// BUFFER that failed.
void log_download_failed(const scsi_device& device) {
    log_line("Firmware download failed!\n");
    log_scsi_failure("WRITE BUFFER", device);
}

// Streams the image in chunks of the transfer buffer's size until it ends or
// a chunk fails, then closes it. The device's outcome is that of the last
// WRITE BUFFER when this returns.
stream_outcome stream_chunks(scsi_device& device, firmware_image& image, transfer_buffer& buffer,
                             progress_line& progress, const chunk_placement& placement) {
    stream_outcome outcome{false, 0, -1, 0, false, 0, {}, false, {}};
    int offset = placement.first_offset;
    long long& sent = outcome.sent;
    progress.download(sent, image.size);
    for (int n = read_chunk(image, buffer, sent); n >= 1; n = read_chunk(image, buffer, sent)) {
        outcome.length = n;
        outcome.moved = scsi_write_buffer(device, buffer.bytes.data(), placement.buffer_id, mode_download_with_offsets,
                                          offset, n);
        if (outcome.moved != n) {
            outcome.failed = true;
            outcome.failed_on = device;
            break;
        }
        ++outcome.chunk;
        if (placement.offset_advances) offset += n;
        sent += n;
        progress.download(sent, image.size);
    }
    progress.finish();
    outcome.whole = !outcome.failed && sent == image.size;
    // A file cut short under the download did not deliver all it promised.
    if (!outcome.failed && !outcome.whole) {
        text_field<96> words{};
        format_text(words, "Firmware image ended after %lld of %ld bytes", sent, image.size);
        log_line("%s\n", words.data());
        outcome.image_ended = words.data();
    }
    outcome.may_close = outcome.whole || (outcome.failed && drive_refused(outcome.failed_on));
    if (!outcome.may_close && (outcome.failed || outcome.chunk > 0)) {
        log_line("Nothing more is sent to device %u: its image did not go across whole\n",
                 static_cast<unsigned>(device.address));
    }
    return outcome;
}

// The result of a download from its stream and its closing command (or, for
// a drive that takes no closing command, from its last chunk), keeping the
// first command that failed for the run report.
download_result judged_download(const stream_outcome& stream, bool closing_sent, bool closed,
                                const scsi_device& device) {
    // Every chunk taken was one command, and so was the one that failed.
    const int chunks_sent = stream.chunk + (stream.failed ? 1 : 0);
    download_result result{chunks_sent > 0, stream.whole && closed, chunks_sent + (closing_sent ? 1 : 0), stream.sent,
                           {nullptr, {}, {}}};
    if (stream.failed) {
        result.failure = {"WRITE BUFFER", stream.failed_on, {}};
    } else if (closing_sent && !closed) {
        result.failure = {"WRITE BUFFER", device, {}};
    } else if (!stream.image_ended.empty()) {
        // Not the drive's doing: the image (its private copy) gave less than
        // it measured.
        result.failure = {"image read", {}, stream.image_ended};
    }
    return result;
}

}  // namespace

bool fits_ktr320_buffer(long size) {
    return size <= 0 || ktr320_first_offset + static_cast<long long>(size) - 1 <= largest_buffer_offset;
}

download_result download_ktr320(scsi_device& device, firmware_image& image, transfer_buffer& buffer,
                                progress_line& progress) {
    const stream_outcome stream =
        stream_chunks(device, image, buffer, progress, {ktr320_buffer_id, ktr320_first_offset, true});
    if (stream.failed) {
        log_download_failed(device);
    }

    if (!stream.may_close) return judged_download(stream, false, false, device);
    // Sent even after a chunk the drive refused: the drive then drops the
    // partial image.
    const bool closed =
        scsi_write_buffer(device, buffer.bytes.data(), ktr320_buffer_id, mode_download_with_offsets, 0, 0) >= 0;
    if (!closed) {
        log_download_failed(device);
    } else {
        log_line("firmware is being flashed - WAIT!\n");
    }
    return judged_download(stream, true, closed, device);
}

download_result download_standard(scsi_device& device, firmware_image& image, transfer_buffer& buffer,
                                  progress_line& progress) {
    const bool lto = scsi_is_lto_drive(device);
    const stream_outcome stream = stream_chunks(device, image, buffer, progress, {standard_buffer_id, 0, false});
    if (stream.failed) {
        log_line("Firmware download failed on chunk %d!\n", stream.chunk);
        log_line("nbytes = %d, length = %d\n", stream.moved, stream.length);
        log_scsi_failure("WRITE BUFFER", device);
    }

    if (!stream.may_close) return judged_download(stream, false, false, device);
    // An empty image sends nothing at all; with no command to judge, the
    // download has not happened and must not read as under way.
    const int outcome =
        lto ? scsi_write_buffer(device, buffer.bytes.data(), standard_buffer_id, mode_download_save_activate, 0, 0)
            : stream.moved;
    const download_result result = judged_download(stream, lto, stream.moved != -1 && outcome >= 0, device);
    if (outcome >= 0) {
        log_line("firmware is being flashed!\n");
        return result;
    }
    // A failed chunk was told above; a refused activation is told here.
    if (lto) {
        log_download_failed(device);
    } else {
        log_line("Firmware download failed!\n");
    }
    return result;
}
