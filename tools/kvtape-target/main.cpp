// kvtape-target: serves the drives of a bus file to the Linux kernel's SCSI
// target (LIO) through its user-space backstore, so that programs on the
// same machine reach them as real tape devices (/dev/nstN, /dev/sgN).
//
//   kvtape-target BUS_FILE NAME_PREFIX [TRACE_FILE]
//   kvtape-target --list BUS_FILE      (the drives' addresses, one a line)
//
// Drive with address A must be the user backstore NAME_PREFIX_A, enabled
// before this starts. Once every drive is served the program prints "ready"
// on standard output. SIGUSR1 starts a fresh run (fault counts from zero, the
// bus file read again), as a new run of the program would on the simulated
// bus; SIGTERM ends every session (a drive waiting for its close takes up its
// image) and stops.
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tools/kvtape-target/emulated_bus.h"
#include "tools/kvtape-target/tcmu_ring.h"
#include "tools/kvtape-target/uio_ring.h"

namespace {

// Set from signal handlers: the only state they may touch.
volatile sig_atomic_t fresh_run_asked = 0;
volatile sig_atomic_t stop_asked = 0;

// A drive that has been quiet this long has been closed by its initiator.
// Generous: in an emulated VM with several programs at work, a pause of a few
// seconds between two chunks of one download is no close.
constexpr std::int64_t session_idle_ms = 10000;
constexpr int poll_ms = 250;

std::int64_t now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

void on_signal(int signal_number) {
    if (signal_number == SIGUSR1) fresh_run_asked = 1;
    else stop_asked = 1;
}

int fail(const std::string& message) {
    std::fprintf(stderr, "kvtape-target: %s\n", message.c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--list") {
        emulated_bus bus;
        std::string error;
        if (!bus.load(argv[2], "", now_ms(), error)) return fail(error);
        for (const std::uint32_t address : bus.addresses()) std::printf("%u\n", static_cast<unsigned>(address));
        return 0;
    }
    if (argc < 3 || argc > 4) return fail("usage: kvtape-target BUS_FILE NAME_PREFIX [TRACE_FILE]");
    const std::string bus_path = argv[1];
    const std::string prefix = argv[2];
    const std::string trace_path = argc > 3 ? argv[3] : "";

    struct sigaction action {};
    action.sa_handler = on_signal;  // no SA_RESTART: poll wakes up at once
    sigaction(SIGUSR1, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);

    emulated_bus bus;
    std::string error;
    if (!bus.load(bus_path, trace_path, now_ms(), error)) return fail(error);

    std::vector<uio_ring> rings(bus.addresses().size());
    for (std::size_t i = 0; i < rings.size(); ++i) {
        const std::string backstore = prefix + "_" + std::to_string(bus.addresses()[i]);
        if (!open_uio_ring(backstore, rings[i], error)) return fail(error);
    }
    std::printf("ready\n");
    std::fflush(stdout);

    std::vector<std::uint8_t> buffer;  // one transfer buffer for every command
    std::vector<pollfd> polled(rings.size());
    for (std::size_t i = 0; i < rings.size(); ++i) polled[i] = {rings[i].fd(), POLLIN, 0};
    while (!stop_asked) {
        if (fresh_run_asked) {
            fresh_run_asked = 0;
            if (!bus.load(bus_path, trace_path, now_ms(), error)) std::fprintf(stderr, "kvtape-target: %s\n", error.c_str());
        }
        const int ready = ::poll(polled.data(), polled.size(), poll_ms);
        for (std::size_t i = 0; ready > 0 && i < rings.size(); ++i) {
            if (!(polled[i].revents & POLLIN)) continue;
            std::uint32_t events = 0;
            if (::read(rings[i].fd(), &events, sizeof events) != sizeof events) continue;
            serve_ring(rings[i].map(), rings[i].size(), buffer,
                       [&](const tcmu_command& command) { return bus.answer(i, command, now_ms()); });
            const std::uint32_t kick = 0;
            if (::write(rings[i].fd(), &kick, sizeof kick) != sizeof kick) return fail("cannot signal the kernel");
        }
        bus.end_idle_sessions(now_ms(), session_idle_ms);
    }
    bus.end_idle_sessions(now_ms() + session_idle_ms, session_idle_ms);
    return 0;
}
