#include "scsi/transport_trace.h"

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <memory>

#include "platform/clock.h"
#include "platform/file_handle.h"
#include "platform/number_text.h"
#include "platform/platform.h"
#include "scsi/transport.h"

namespace {

class trace_file {
public:
    trace_file(file_handle file, std::string path) : file_(std::move(file)), path_(std::move(path)) {}

    const std::string& path() const { return path_; }

    void line(const char* format, ...) __attribute__((format(printf, 2, 3))) {
        // The drives matter more than their trace: once a write failed (a
        // full disk), the trace ends there, said once, and the run goes on.
        if (failed_) return;
        std::va_list args;
        va_start(args, format);
        std::vfprintf(file_.get(), format, args);
        va_end(args);
        std::fputc('\n', file_.get());
        // Flushed per line: the trace must hold the last command before a
        // crash or a hang, and a test reads it while the run goes on.
        if (std::fflush(file_.get()) == 0 && !std::ferror(file_.get())) return;
        failed_ = true;
        const int error = errno;
        std::fprintf(stderr, "kvtapefw: trace file %s: cannot be written (%s); the trace ends here\n", path_.c_str(),
                     std::strerror(error));
    }

private:
    file_handle file_;
    std::string path_;
    bool failed_ = false;
};

const char* direction_word(std::int32_t direction) {
    if (direction == scsi_data_out) return "out";
    if (direction == scsi_data_in) return "in";
    return "none";
}

class traced_transport final : public scsi_transport {
public:
    traced_transport(scsi_transport& inner, trace_file& trace) : inner_(inner), trace_(trace) {}

    int open(scsi_device& device) override {
        const int opened = inner_.open(device);
        // Two words only, as the trace's readers expect: an absent, held or
        // denied device is "fail" alike; the device handle keeps which.
        trace_.line("open %u %s", device.address, opened == 0 ? "ok" : "fail");
        return opened;
    }

    void close(scsi_device& device) override {
        trace_.line("close %u", device.address);
        inner_.close(device);
    }

    void execute(scsi_request& request) override {
        inner_.execute(request);
        const scsi_device& device = *request.device;
        trace_.line("exec %u path=%u target=%u lun=%u timeout=%d cdb=%s dir=%s len=%d -> status=%02x host=%02x moved=%d",
                    device.address, device.card & 0xFF, device.address & 0xFF, device.lun & 0xFF,
                    device.timeout_ms / 1000, hex_text(request.cdb.data(), scsi_cdb_length(request)).c_str(),
                    direction_word(request.direction), request.data_length, device.scsi_status, device.host_status,
                    request.transferred);
        if (device.host_status == 0 && device.scsi_status == scsi_status_check_condition) {
            const std::string sense = hex_text(device.sense.data(), device.sense_length);
            trace_.line("sense %u%s%s", device.address, sense.empty() ? "" : " ", sense.c_str());
        }
    }

private:
    scsi_transport& inner_;
    trace_file& trace_;
};

class traced_clock final : public run_clock {
public:
    traced_clock(run_clock& inner, trace_file& trace) : inner_(inner), trace_(trace) {}

    std::int64_t now_seconds() override { return inner_.now_seconds(); }
    void sleep_ms(std::uint32_t milliseconds) override {
        trace_.line("sleep %u", milliseconds);
        inner_.sleep_ms(milliseconds);
    }

private:
    run_clock& inner_;
    trace_file& trace_;
};

struct trace_layer {
    trace_layer(file_handle file, const std::string& path, scsi_transport& transport, run_clock& clock)
        : trace(std::move(file), path), wrapped_transport(transport), wrapped_clock(clock),
          transport(transport, trace), clock(clock, trace) {}

    trace_file trace;
    scsi_transport& wrapped_transport;
    run_clock& wrapped_clock;
    traced_transport transport;
    traced_clock clock;
};

// The one trace of the process, like the transport it wraps.
std::unique_ptr<trace_layer> installed_layer;

}  // namespace

bool start_transport_trace(const std::string& path, std::string& error) {
    std::string why;
    file_handle file(open_regular_file_for_append(path, why));
    if (!file) {
        error = "kvtapefw: trace file " + path + ": " + why;
        return false;
    }
    stop_transport_trace();
    installed_layer = std::make_unique<trace_layer>(std::move(file), path, active_transport(), active_clock());
    install_transport(&installed_layer->transport);
    install_clock(&installed_layer->clock);
    return true;
}

void stop_transport_trace() {
    if (!installed_layer) return;
    install_transport(&installed_layer->wrapped_transport);
    install_clock(&installed_layer->wrapped_clock);
    installed_layer.reset();
}

std::string transport_trace_path() { return installed_layer ? installed_layer->trace.path() : std::string(); }
