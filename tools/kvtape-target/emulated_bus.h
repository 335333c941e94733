// The drives of one bus file as the kernel's SCSI target sees them: the same
// drive model, fault rules and bus-file rewrite as the simulated bus, answering
// commands that arrive through the kernel instead of the program's transport.
//
// A target never learns that the initiator closed the device, yet a drive
// without an activate command takes up its image on that close. So a drive's
// "session" ends after it has been idle for a while, or right after a command
// that may have made it take up an image; ending a session is a close (and
// an open again) on the simulated transport. While a drive reboots into new
// firmware it answers NOT READY, becoming ready.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "scsi/scsi_device.h"
#include "sim/sim_clock.h"
#include "sim/sim_transport.h"
#include "tools/kvtape-target/tcmu_ring.h"

class emulated_bus {
public:
    // Loads the bus file as a fresh run of the program would: fault counts
    // start at zero and no drive is rebooting; the drives become the process's
    // transport, traced into `trace_path` unless it is empty. False with
    // `error` set when the file is unusable (the bus then stays as it was) or
    // the trace cannot be opened (the new bus then runs untraced).
    bool load(const std::string& bus_path, const std::string& trace_path, std::int64_t now_ms, std::string& error);

    const std::vector<std::uint32_t>& addresses() const { return addresses_; }

    tcmu_answer answer(std::size_t drive, const tcmu_command& command, std::int64_t now_ms);
    // Ends the sessions of drives idle for at least `idle_ms`.
    void end_idle_sessions(std::int64_t now_ms, std::int64_t idle_ms);

private:
    struct drive_state {
        scsi_device device{};
        bool in_session = false;
        std::int64_t last_command_ms = 0;
    };

    void catch_up(std::int64_t now_ms);
    void end_session(drive_state& drive);

    std::unique_ptr<sim_clock> clock_;
    std::unique_ptr<sim_transport> transport_;
    std::vector<std::uint32_t> addresses_;
    std::vector<drive_state> drives_;
    std::vector<std::uint8_t> not_ready_sense_;
    std::vector<std::uint8_t> aborted_sense_;
};
