// Flashing throughput and memory. Streams images of 1 MiB and 64 MiB to one
// drive and reports the time, the bytes per second, the WRITE BUFFER commands
// sent and the peak resident memory of the process.
//
// Two drives are used. The sink drive takes every chunk and keeps nothing, so
// the peak memory is flashing's own: it must not grow with the image. The
// simulated bus drive keeps the whole image, as a real drive's buffer does,
// so there the peak memory grows by the image size; it shows the full road
// with the setup log, the trace and the verification scan.
//
// Each run happens in a child process of its own, so that one run's peak
// memory does not hide the next one's.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "inventory/drive_table.h"
#include "platform/clock.h"
#include "scsi/transport.h"
#include "sim/simulated_bus.h"
#include "upgrade/flashing.h"

namespace fs = std::filesystem;

namespace {

constexpr long long mib = 1024 * 1024;
constexpr std::uint8_t op_write_buffer = 0x3B;
constexpr std::uint8_t op_report_density_support = 0x44;

// One LTO drive at address 0 that answers every command and drops the data.
class sink_drive final : public scsi_transport {
public:
    int open(scsi_device& device) override {
        if (device.address != 0) return -1;
        device.os_handle = this;
        return 0;
    }
    void close(scsi_device&) override {}
    void execute(scsi_request& request) override {
        if (request.direction == scsi_data_in && request.data) std::memset(request.data, 0, request.data_length);
        if (request.cdb[0] == op_write_buffer) ++write_buffers;
        if (request.cdb[0] == op_report_density_support && request.data_length >= 27) {
            std::memcpy(static_cast<char*>(request.data) + 20, "LTO-CVE", 7);
        }
        store_scsi_outcome(request, scsi_status_good, request.data_length, nullptr, 0);
    }
    long long write_buffers = 0;
};

class instant_clock final : public run_clock {
public:
    std::int64_t now_seconds() override { return 0; }
    void sleep_ms(std::uint32_t) override {}
};

struct result {
    double seconds;
    long long commands;
    long peak_kib;
    bool ok;
};

void write_image(const fs::path& path, long long size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    const std::string head = "FWVERSION=2.10\nHWCONF=0x00a4\n";
    out << head;
    std::vector<char> block(mib, 'x');
    for (long long left = size - static_cast<long long>(head.size()); left > 0; left -= mib) {
        out.write(block.data(), static_cast<std::streamsize>(left < mib ? left : mib));
    }
}

void write_bus(const fs::path& path) {
    std::ofstream(path, std::ios::trunc)
        << R"({"command_ms": 1, "drives": [{"address": 0, "vendor": "KV", "product": "ULTRIUM-HH6",)"
           R"( "layout": "ultrium", "firmware": "2.05", "hw_config": "0x00a4", "lto": true}]})";
}

long long count_write_buffers(const fs::path& trace) {
    std::ifstream in(trace);
    long long count = 0;
    for (std::string line; std::getline(in, line);) count += line.find(" cdb=3b") != std::string::npos;
    return count;
}

// Flashes the image once, in this process, and measures it.
result flash_once(const fs::path& folder, bool on_simulated_bus) {
    auto work = std::make_unique<drive_table>();
    auto catalogue = std::make_unique<drive_table>();
    clear_table(*work);
    clear_table(*catalogue);
    drive_record& drive = (*work)[0];
    drive.in_use = 1;
    drive.drive_id = 0xa4;
    drive.fw_version = 2.05;
    copy_text(drive.product_id, "ULTRIUM-HH6");
    copy_text(drive.action, "upgrade");
    (*catalogue)[0].in_use = 1;
    (*catalogue)[0].drive_id = 0xa4;
    copy_text((*catalogue)[0].firmware_file, "BENCH.BIN");

    sink_drive sink;
    instant_clock clock;
    if (on_simulated_bus) {
        write_bus(folder / "bus.json");
        std::string error;
        if (!install_simulated_bus((folder / "bus.json").string(), (folder / "trace.txt").string(), error)) {
            std::fprintf(stderr, "%s\n", error.c_str());
            return {0, 0, 0, false};
        }
    } else {
        install_transport(&sink);
        install_clock(&clock);
    }
    const auto start = std::chrono::steady_clock::now();
    const int failures = flash_drives(*work, *catalogue);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;

    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const long long commands = on_simulated_bus ? count_write_buffers(folder / "trace.txt") : sink.write_buffers;
    // The sink drive never comes back on the verification scan, so it counts
    // one failure by design; the simulated drive must verify cleanly.
    return {took.count(), commands, usage.ru_maxrss, on_simulated_bus ? failures == 0 : failures == 1};
}

// Runs flash_once in a child process and hands its result back through a pipe.
result flash_in_child(const fs::path& folder, bool on_simulated_bus) {
    int channel[2];
    if (pipe(channel) != 0) return {0, 0, 0, false};
    const pid_t child = fork();
    if (child == 0) {
        close(channel[0]);
        std::freopen("/dev/null", "w", stdout);  // the console lines of flashing are not the point here
        const result measured = flash_once(folder, on_simulated_bus);
        const ssize_t written = write(channel[1], &measured, sizeof measured);
        _exit(written == static_cast<ssize_t>(sizeof measured) ? 0 : 1);
    }
    close(channel[1]);
    result measured{0, 0, 0, false};
    const ssize_t got = read(channel[0], &measured, sizeof measured);
    close(channel[0]);
    int status = 0;
    waitpid(child, &status, 0);
    if (got != static_cast<ssize_t>(sizeof measured) || !WIFEXITED(status)) measured.ok = false;
    return measured;
}

}  // namespace

int main() {
    char pattern[] = "/tmp/kvtapefw-bench-XXXXXX";
    if (!mkdtemp(pattern)) return 1;
    const fs::path folder = pattern;
    fs::create_directories(folder / "fwimage");
    fs::create_directories(folder / "sys/vtxsystem/log");
    setenv("systemdrive", (folder / "sys").c_str(), 1);
    fs::current_path(folder);

    std::printf("%-8s %-14s %9s %14s %10s %9s %14s\n", "image", "drive", "seconds", "bytes/s", "commands",
                "expected", "peak RSS KiB");
    bool all_ok = true;
    for (const char* drive_kind : {"sink", "simulated bus"}) {
        const bool simulated = std::strcmp(drive_kind, "sink") != 0;
        for (long long size : {1 * mib, 64 * mib}) {
            write_image(folder / "fwimage/BENCH.BIN", size);
            fs::remove(folder / "trace.txt");
            const result r = flash_in_child(folder, simulated);
            // Every full or partial chunk, plus the LTO closing command.
            const long long expected = (size + 32767) / 32768 + 1;
            all_ok = all_ok && r.ok && r.commands == expected;
            std::printf("%4lld MiB %-14s %9.3f %14.0f %10lld %9lld %14ld%s\n", size / mib, drive_kind, r.seconds,
                        r.seconds > 0 ? size / r.seconds : 0.0, r.commands, expected, r.peak_kib,
                        r.ok ? "" : "  (run failed)");
        }
    }
    fs::current_path("/");
    fs::remove_all(folder);
    return all_ok ? 0 : 1;
}
