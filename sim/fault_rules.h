// Fault rules of one simulated drive: which commands are answered by a rule
// instead of the drive. Each rule counts the commands it matched, from the
// start of the run.
#pragma once

#include <cstdint>
#include <vector>

#include "sim/bus_file.h"
#include "sim/sim_drive.h"

class fault_matcher {
public:
    explicit fault_matcher(std::vector<sim_fault_rule> rules);

    // The rule that answers this command, or nullptr when the drive does.
    // Only the first rule whose CDB prefix matches is asked: it either lets
    // the command pass (still skipping, or its count is used up) or faults it.
    const sim_fault_rule* match(const sim_cdb& cdb);

private:
    std::vector<sim_fault_rule> rules_;
    std::vector<std::int64_t> matched_;
};
