#include "log/setup_log.h"

#include <cstdarg>
#include <cstdio>
#include <string>

#include "inventory/text_field.h"
#include "platform/file_handle.h"
#include "platform/file_write.h"
#include "platform/platform.h"
#include "scsi/sense.h"

namespace {
// The expansion lands in a 512-byte buffer: a longer path cannot be opened.
constexpr std::size_t expansion_capacity = 512;
// Formats into the one message line, appends it, and prints it on `echo`
// when one is given.
void log_and_echo(std::FILE* echo, const char* format, std::va_list args) {
    text_field<512> message{};
    vformat_text(message.data(), message.size(), format, args);
    append_setup_log(message.data());
    if (echo) std::fputs(message.data(), echo);
}
}  // namespace

void append_setup_log(const char* text) {
    const std::string path = expand_environment(setup_log_path);
    // Once per run is enough to say where and why, for each kind of failure.
    static bool open_told = false, write_told = false;
    std::string cause = "the path is too long";
    // Never waits: a FIFO in the log's place that nobody reads, or whose
    // reader does not take the line, costs the line, not the run.
    file_handle log(path.size() < expansion_capacity ? open_append_without_waiting(path, cause) : nullptr);
    if (!log) {
        std::printf("Unable to open and write to log file.\n");
        if (!open_told) {
            std::fprintf(stderr, "kvtapefw: the setup log %s could not be opened (%s)\n", path.c_str(), cause.c_str());
            open_told = true;
        }
        return;
    }
    // A full file system shows in the write, or only when the line is
    // flushed at the close.
    const bool written = std::fputs(text, log.get()) >= 0 && std::fflush(log.get()) == 0;
    if (!written) cause = last_error_text();
    if (std::fclose(log.release()) != 0 && written) cause = last_error_text();
    else if (written) return;
    std::printf("Unable to open and write to log file.\n");
    if (!write_told) {
        std::fprintf(stderr, "kvtapefw: the setup log %s could not be written (%s)\n", path.c_str(), cause.c_str());
        write_told = true;
    }
}

void log_line(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    log_and_echo(nullptr, format, args);
    va_end(args);
}

void report(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    log_and_echo(stdout, format, args);
    va_end(args);
}

void report_error(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    log_and_echo(stderr, format, args);
    va_end(args);
}

void log_scsi_failure(const char* command, const scsi_device& device) {
    log_line("%s\n", describe_scsi_outcome(command, device).c_str());
}

void print_separator() { std::printf("----------------------------------------------\n"); }

int make_directory(const char* path) {
    if (path_exists(path)) {
        std::printf("Dir already exist %s\n", path);
        return -1;
    }
    // A failure shows when the document is written into it.
    create_directory(path);
    std::printf("Created Dir : %s\n", path);
    return 1;
}
