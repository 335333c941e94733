#include "tools/kvtape-target/emulated_bus.h"

#include "platform/clock.h"
#include "scsi/transport.h"
#include "scsi/transport_trace.h"
#include "sim/bus_file.h"
#include "sim/sim_pages.h"

namespace {

bool may_have_taken_up(const tcmu_command& command) {
    // WRITE BUFFER with an empty parameter list: the activate command of LTO
    // drives (mode 5) and of the KTR320 (mode 4, buffer 1).
    return command.cdb[0] == 0x3B && command.cdb[6] == 0 && command.cdb[7] == 0 && command.cdb[8] == 0;
}

}  // namespace

bool emulated_bus::load(const std::string& bus_path, const std::string& trace_path, std::int64_t now_ms,
                        std::string& error) {
    sim_bus_config bus;
    std::string problem;
    if (!load_bus_file(bus_path, bus, problem)) {
        error = "bus file " + bus_path + ": " + problem;
        return false;
    }
    std::vector<std::uint32_t> addresses;
    for (const sim_drive_config& drive : bus.drives) addresses.push_back(static_cast<std::uint32_t>(drive.address));
    // The drives become the process's transport, so that the trace layer
    // records what reached them exactly as it does in the program.
    stop_transport_trace();
    clock_ = std::make_unique<sim_clock>(now_ms / 1000);
    transport_ = std::make_unique<sim_transport>(std::move(bus), bus_path, *clock_);
    install_transport(transport_.get());
    install_clock(clock_.get());
    if (!trace_path.empty() && !start_transport_trace(trace_path, error)) return false;
    addresses_ = std::move(addresses);
    drives_.assign(addresses_.size(), drive_state{});
    for (std::size_t i = 0; i < drives_.size(); ++i) {
        drives_[i].device.address = addresses_[i];
        active_transport().open(drives_[i].device);
    }
    not_ready_sense_ = build_fixed_sense(sense_key_not_ready, 0x04, 0x01);
    aborted_sense_ = build_fixed_sense(sense_key_aborted_command, 0x00, 0x00);
    return true;
}

void emulated_bus::catch_up(std::int64_t now_ms) {
    // The model's clock follows the real one: a reboot lasts real seconds here.
    if (now_ms > clock_->now_ms()) clock_->advance_ms(now_ms - clock_->now_ms());
}

void emulated_bus::end_session(drive_state& drive) {
    drive.in_session = false;
    if (drive.device.os_handle != nullptr) {
        active_transport().close(drive.device);
        drive.device.os_handle = nullptr;
    }
    active_transport().open(drive.device);  // fails while the drive reboots
}

tcmu_answer emulated_bus::answer(std::size_t index, const tcmu_command& command, std::int64_t now_ms) {
    catch_up(now_ms);
    drive_state& drive = drives_.at(index);
    if (drive.device.os_handle == nullptr) active_transport().open(drive.device);
    tcmu_answer answer;
    if (drive.device.os_handle == nullptr) {
        answer.status = scsi_status_check_condition;
        answer.sense = not_ready_sense_.data();
        answer.sense_length = not_ready_sense_.size();
        return answer;
    }
    drive.in_session = true;
    drive.last_command_ms = now_ms;
    scsi_request request{};
    request.device = &drive.device;
    request.cdb = command.cdb;
    request.cdb_length = static_cast<std::int32_t>(command.cdb_length);
    request.data = command.data->empty() ? nullptr : command.data->data();
    request.data_length = static_cast<std::int32_t>(command.data->size());
    request.direction = command.data->empty() ? scsi_no_data : command.data_out ? scsi_data_out : scsi_data_in;
    scsi_execute(request);
    if (drive.device.host_status != 0) {
        // A failure of the initiator's own call cannot come from a target:
        // the nearest a drive can say is that it aborted the command.
        answer.status = scsi_status_check_condition;
        answer.sense = aborted_sense_.data();
        answer.sense_length = aborted_sense_.size();
    } else {
        answer.status = drive.device.scsi_status;
        answer.moved = static_cast<std::size_t>(std::max(0, request.transferred));
        if (answer.status == scsi_status_check_condition) {
            answer.sense = drive.device.sense.data();
            answer.sense_length = drive.device.sense_length;
        }
    }
    if (answer.status == scsi_status_good && may_have_taken_up(command)) end_session(drive);
    return answer;
}

void emulated_bus::end_idle_sessions(std::int64_t now_ms, std::int64_t idle_ms) {
    catch_up(now_ms);
    for (drive_state& drive : drives_) {
        if (drive.in_session && now_ms - drive.last_command_ms >= idle_ms) end_session(drive);
    }
}
