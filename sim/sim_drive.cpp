#include "sim/sim_drive.h"

#include <algorithm>

#include "sim/firmware_image.h"

namespace {

constexpr std::uint8_t illegal_request = 0x05;
constexpr std::uint8_t invalid_command = 0x20;
constexpr std::uint8_t invalid_field_in_cdb = 0x24;
constexpr std::uint8_t parameter_list_length_error = 0x1A;
constexpr std::uint8_t invalid_field_in_parameter_list = 0x26;

sim_outcome good(sim_bytes data = {}, std::size_t allocation = 0) {
    sim_outcome outcome;
    if (data.size() > allocation) data.resize(allocation);
    outcome.data_in = std::move(data);
    return outcome;
}

sim_outcome check(std::uint8_t key, std::uint8_t asc, std::uint8_t ascq = 0) {
    sim_outcome outcome;
    outcome.status = 0x02;
    outcome.sense = build_fixed_sense(key, asc, ascq);
    return outcome;
}

std::size_t big_endian(const sim_cdb& cdb, std::size_t first, std::size_t count) {
    std::size_t value = 0;
    for (std::size_t i = first; i < first + count; ++i) value = value * 256 + cdb.at(i);
    return value;
}

}  // namespace

sim_drive::sim_drive(sim_drive_config config)
    : config_(std::move(config)), firmware_(config_.firmware), download_(config_.product == "KTR320", config_.lto) {}

sim_outcome sim_drive::answer(const sim_cdb& cdb, sim_payload payload) {
    sim_outcome outcome;
    switch (cdb.at(0)) {
        case 0x00:  // TEST UNIT READY
        case 0x16:  // RESERVE(6)
            break;
        case 0x3B:
            outcome = write_buffer(cdb, payload);
            break;
        case 0x03:  // REQUEST SENSE hands over the kept sense once
            outcome = read_command(cdb);
            pending_sense_.reset();
            break;
        default:
            outcome = read_command(cdb);
            break;
    }
    if (outcome.status == 0x02) pending_sense_ = outcome.sense;
    return outcome;
}

sim_bytes sim_drive::data_for(const sim_cdb& cdb) const { return read_command(cdb).data_in; }

sim_outcome sim_drive::check_condition(std::uint8_t key, std::uint8_t asc, std::uint8_t ascq) {
    sim_outcome outcome = check(key, asc, ascq);
    pending_sense_ = outcome.sense;
    return outcome;
}

bool sim_drive::closed() {
    const bool took_up = download_.takes_up_on_close() && take_up();
    download_.discard();
    return took_up;
}

sim_outcome sim_drive::read_command(const sim_cdb& cdb) const {
    switch (cdb.at(0)) {
        case 0x12:
            return inquiry(cdb);
        case 0x03:
            return good(pending_sense_ ? *pending_sense_ : build_fixed_sense(0, 0, 0), cdb.at(4));
        case 0x44:  // REPORT DENSITY SUPPORT
            return good(build_density_support(config_.lto), big_endian(cdb, 7, 2));
        case 0x3C:  // READ BUFFER: the drive's vendor buffers read as zeros
        {
            const std::size_t length = big_endian(cdb, 6, 3);
            return good(sim_bytes(length, 0), length);
        }
        default:
            return check(illegal_request, invalid_command);
    }
}

sim_outcome sim_drive::inquiry(const sim_cdb& cdb) const {
    const bool evpd = (cdb.at(1) & 1) != 0;
    const std::uint8_t page = cdb.at(2);
    const std::size_t allocation = big_endian(cdb, 3, 2);
    if (!evpd) {
        if (page != 0) return check(illegal_request, invalid_field_in_cdb);
        return good(config_.standard_data ? *config_.standard_data : build_standard_data(config_), allocation);
    }
    if (page == 0x80 && !config_.serial.empty()) return good(build_page_80(config_.serial), allocation);
    if (page == 0xC0) return good(config_.page_c0 ? *config_.page_c0 : build_page_c0(config_, firmware_), allocation);
    if (page == 0xC1 && config_.page_c1) return good(*config_.page_c1, allocation);
    if (page == 0xC1 && config_.layout == sim_layout::ultrium) return good(build_page_c1(config_), allocation);
    return check(illegal_request, invalid_field_in_cdb);
}

sim_outcome sim_drive::write_buffer(const sim_cdb& cdb, sim_payload payload) {
    const int mode = cdb.at(1) & 0x1F;
    const int buffer_id = cdb.at(2);
    const auto offset = static_cast<std::uint32_t>(big_endian(cdb, 3, 3));
    const std::size_t length = big_endian(cdb, 6, 3);
    if (payload.length < length || (length > 0 && payload.data == nullptr)) {
        download_.discard();
        return check(illegal_request, parameter_list_length_error);
    }
    switch (download_.write(mode, buffer_id, offset, payload.data, length)) {
        case download_step::stored: {
            sim_outcome outcome;
            outcome.data_out = length;
            return outcome;
        }
        case download_step::take_up: {
            if (!take_up()) return check(illegal_request, invalid_field_in_parameter_list);
            sim_outcome outcome;
            outcome.took_up_image = true;
            return outcome;
        }
        case download_step::rejected:
            break;
    }
    return check(illegal_request, invalid_field_in_cdb);
}

// The received bytes are used up either way: a refused image has to be sent
// again from the start.
bool sim_drive::take_up() {
    const std::size_t max_version = firmware_field_width(config_.layout) - firmware_prefix_length;
    const image_verdict verdict = check_image(download_.image(), config_.hw_config, max_version);
    download_.discard();
    if (!verdict.accepted) return false;
    firmware_ = verdict.firmware;
    return true;
}
