#include "sim/sim_transport.h"

#include <algorithm>
#include <cstring>

#include "platform/interrupt.h"
#include "sim/bus_file_rewrite.h"

namespace {

sim_cdb cdb_of(const scsi_request& request) {
    sim_cdb cdb;
    cdb.length = scsi_cdb_length(request);
    std::copy_n(request.cdb.begin(), cdb.length, cdb.bytes.begin());
    return cdb;
}

std::size_t buffer_length(const scsi_request& request, std::int32_t direction) {
    if (request.direction != direction || request.data == nullptr || request.data_length < 0) return 0;
    return static_cast<std::size_t>(request.data_length);
}

// Copies what the drive returns into the initiator's buffer, never more
// than that buffer holds; the count is what the transfer moved.
std::int32_t deliver(const scsi_request& request, const sim_bytes& data) {
    const std::size_t moved = std::min(data.size(), buffer_length(request, scsi_data_in));
    if (moved > 0) std::memcpy(request.data, data.data(), moved);
    return static_cast<std::int32_t>(moved);
}

}  // namespace

sim_transport::sim_transport(sim_bus_config bus, std::string bus_path, sim_clock& clock)
    : command_ms_(bus.command_ms),
      bus_path_(std::move(bus_path)),
      document_(std::move(bus.document)),
      clock_(clock) {
    slots_.reserve(bus.drives.size());
    for (sim_drive_config& config : bus.drives) {
        std::vector<sim_fault_rule> rules = config.faults;
        const int address = config.address;
        const std::optional<int> after_reboot = config.address_after_reboot;
        slots_.push_back({sim_drive(std::move(config)), fault_matcher(std::move(rules)), address, after_reboot});
    }
}

bool sim_transport::held_by_answering(int address) const {
    for (const drive_slot& slot : slots_) {
        if (!slot.rebooting && slot.address == address) return true;
    }
    return false;
}

void sim_transport::come_back() {
    for (;;) {
        drive_slot* next = nullptr;
        for (drive_slot& slot : slots_) {
            if (slot.rebooting && clock_.now_ms() >= slot.ready_at_ms &&
                (next == nullptr || slot.ready_at_ms < next->ready_at_ms)) {
                next = &slot;
            }
        }
        if (next == nullptr) return;
        const int wanted = next->after_reboot.value_or(next->address);
        int address = wanted;
        if (held_by_answering(wanted)) {
            address = next->address;
            for (int free = 0; held_by_answering(address) && free <= 255; ++free) address = free;
        }
        next->address = address;
        next->after_reboot.reset();
        next->rebooting = false;
        const auto index = static_cast<std::size_t>(next - slots_.data());
        save_drive_restart(bus_path_, document_, index, address, next->drive.config().serial);
    }
}

sim_transport::drive_slot* sim_transport::slot_at(std::uint32_t address) {
    come_back();
    for (drive_slot& slot : slots_) {
        if (!slot.rebooting && static_cast<std::uint32_t>(slot.address) == address) return &slot;
    }
    return nullptr;
}

int sim_transport::open(scsi_device& device) {
    drive_slot* slot = slot_at(device.address);
    // A drive that is rebooting into new firmware is gone from the bus for
    // a while; one marked "fail" is there but held by another program, one
    // marked "denied" is there but this process may not open it.
    if (slot == nullptr) return transport_open_absent;
    if (slot->drive.config().open == sim_open::held) return transport_open_held;
    if (slot->drive.config().open == sim_open::denied) return transport_open_denied;
    slot->is_open = true;
    device.os_handle = slot;
    return 0;
}

// The handle names the drive it was opened on, wherever that answers now: a
// drive taking up its image is still the one the handle reaches until it is
// closed.
sim_transport::drive_slot* sim_transport::opened_slot(const scsi_device& device) {
    auto* slot = static_cast<drive_slot*>(device.os_handle);
    return slot != nullptr && slot->is_open ? slot : nullptr;
}

void sim_transport::close(scsi_device& device) {
    drive_slot* slot = opened_slot(device);
    if (!slot) return;
    slot->is_open = false;
    if (slot->drive.closed()) image_taken_up(*slot);
}

void sim_transport::execute(scsi_request& request) {
    clock_.advance_ms(command_ms_);
    const sim_cdb cdb = cdb_of(request);
    drive_slot* slot = opened_slot(*request.device);
    // As with a stale or closed handle on the real pass-through.
    if (!slot) {
        store_host_failure(request, 0xFF);
    } else if (const sim_fault_rule* rule = slot->faults.match(cdb)) {
        if (rule->signal != 0) send_signal_to_self(rule->signal);
        if (rule->reply == sim_reply::none) {
            answer(*slot, request, cdb);
        } else {
            answer_by_rule(*slot, request, cdb, *rule);
        }
    } else {
        answer(*slot, request, cdb);
    }
}

void sim_transport::answer(drive_slot& slot, scsi_request& request, const sim_cdb& cdb) {
    const sim_payload payload{static_cast<const std::uint8_t*>(request.data), buffer_length(request, scsi_data_out)};
    const sim_outcome outcome = slot.drive.answer(cdb, payload);
    const std::int32_t moved =
        outcome.data_out > 0 ? static_cast<std::int32_t>(outcome.data_out) : deliver(request, outcome.data_in);
    store_scsi_outcome(request, outcome.status, moved, outcome.sense.data(), outcome.sense.size());
    if (outcome.took_up_image) image_taken_up(slot);
}

void sim_transport::answer_by_rule(drive_slot& slot, scsi_request& request, const sim_cdb& cdb,
                                   const sim_fault_rule& rule) {
    if (cdb.at(0) == 0x3B) slot.drive.abort_download();
    switch (rule.reply) {
        case sim_reply::busy:
            store_scsi_outcome(request, scsi_status_busy, 0, nullptr, 0);
            break;
        case sim_reply::conflict:
            store_scsi_outcome(request, scsi_status_reservation_conflict, 0, nullptr, 0);
            break;
        case sim_reply::check: {
            const sim_outcome outcome = slot.drive.check_condition(rule.sense_key, rule.asc, rule.ascq);
            store_scsi_outcome(request, outcome.status, 0, outcome.sense.data(), outcome.sense.size());
            break;
        }
        case sim_reply::host:
            store_host_failure(request, rule.host_status);
            break;
        case sim_reply::none:
            break;
        case sim_reply::short_transfer: {
            // Short means fewer bytes than the command would have moved,
            // never more: a data-in command gets at most the data the drive
            // has, a data-out command moves at most its parameter list.
            const std::size_t wanted = static_cast<std::size_t>(rule.moved);
            std::int32_t moved = 0;
            if (request.direction == scsi_data_in) {
                sim_bytes data = slot.drive.data_for(cdb);
                data.resize(std::min(data.size(), wanted));
                moved = deliver(request, data);
            } else {
                moved = static_cast<std::int32_t>(std::min(buffer_length(request, scsi_data_out), wanted));
            }
            store_scsi_outcome(request, scsi_status_good, moved, nullptr, 0);
            break;
        }
    }
}

void sim_transport::image_taken_up(drive_slot& slot) {
    const auto index = static_cast<std::size_t>(&slot - slots_.data());
    // The bus file is the drive's flash: the next run finds the new version.
    save_drive_firmware(bus_path_, document_, index, slot.drive.firmware());
    slot.ready_at_ms = clock_.now_ms() + slot.drive.config().reboot_seconds * 1000;
    slot.rebooting = true;
}
