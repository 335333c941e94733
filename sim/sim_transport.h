// The transport of the simulated bus: opens, closes and runs commands on the
// drives of the bus file, applies their fault rules and advances the
// simulated clock. Its trace is the trace layer any transport can have.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "scsi/transport.h"
#include "sim/bus_file.h"
#include "sim/fault_rules.h"
#include "sim/sim_clock.h"
#include "sim/sim_drive.h"

class sim_transport final : public scsi_transport {
public:
    sim_transport(sim_bus_config bus, std::string bus_path, sim_clock& clock);

    int open(scsi_device& device) override;
    void close(scsi_device& device) override;
    void execute(scsi_request& request) override;

private:
    struct drive_slot {
        sim_drive drive;
        fault_matcher faults;
        int address;                   // where it answers now
        std::optional<int> after_reboot;  // where it comes back after its next restart
        bool is_open = false;
        bool rebooting = false;
        std::int64_t ready_at_ms = 0;  // end of the reboot after a take-up
    };

    // The drive answering at the address, after any drive whose reboot
    // window has ended has come back; null when none answers there.
    drive_slot* slot_at(std::uint32_t address);
    // Brings back the drives whose reboot window has ended, earliest first,
    // each at its address after reboot unless an answering drive holds that
    // one: then at its own, or else at the lowest free address.
    void come_back();
    static drive_slot* opened_slot(const scsi_device& device);
    bool held_by_answering(int address) const;
    void answer(drive_slot& slot, scsi_request& request, const sim_cdb& cdb);
    void answer_by_rule(drive_slot& slot, scsi_request& request, const sim_cdb& cdb, const sim_fault_rule& rule);
    void image_taken_up(drive_slot& slot);

    std::int64_t command_ms_;
    std::string bus_path_;
    nlohmann::ordered_json document_;
    std::vector<drive_slot> slots_;
    sim_clock& clock_;
};
