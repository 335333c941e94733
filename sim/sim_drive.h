// One simulated tape drive: answers each command from its bus file entry and
// keeps what a real drive keeps between commands (the sense of the last CHECK
// CONDITION, a firmware download in progress, the running firmware).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "sim/bus_file.h"
#include "sim/sim_download.h"
#include "sim/sim_pages.h"

struct sim_cdb {
    std::array<std::uint8_t, 16> bytes{};
    std::size_t length = 0;
    std::uint8_t at(std::size_t i) const { return i < length ? bytes[i] : 0; }
};

struct sim_outcome {
    std::uint8_t status = 0;
    sim_bytes data_in;            // already cut to the allocation length
    std::size_t data_out = 0;     // bytes taken from the initiator
    sim_bytes sense;              // fixed format, on CHECK CONDITION
    bool took_up_image = false;   // the running firmware changed
};

// What came with a command from the initiator (WRITE BUFFER's parameter list).
struct sim_payload {
    const std::uint8_t* data = nullptr;
    std::size_t length = 0;
};

class sim_drive {
public:
    explicit sim_drive(sim_drive_config config);

    const sim_drive_config& config() const { return config_; }
    const std::string& firmware() const { return firmware_; }

    sim_outcome answer(const sim_cdb& cdb, sim_payload payload);
    // The bytes this command would return, for a reply that a fault rule cuts
    // short; nothing in the drive changes.
    sim_bytes data_for(const sim_cdb& cdb) const;
    // A CHECK CONDITION forced on the drive: answered, and kept for REQUEST SENSE.
    sim_outcome check_condition(std::uint8_t key, std::uint8_t asc, std::uint8_t ascq);
    // An error in the middle of a download ends it, as on a real drive.
    void abort_download() { download_.discard(); }
    // The initiator closed the device; true when that activated a new image.
    bool closed();

private:
    sim_outcome read_command(const sim_cdb& cdb) const;
    sim_outcome inquiry(const sim_cdb& cdb) const;
    sim_outcome write_buffer(const sim_cdb& cdb, sim_payload payload);
    bool take_up();

    sim_drive_config config_;
    std::string firmware_;
    std::optional<sim_bytes> pending_sense_;
    sim_download download_;
};
