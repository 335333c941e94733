// The bus file: the JSON description of the simulated drives. Reading it
// checks every key, so that a typo is reported instead of becoming a default;
// the file is also the drives' flash memory, rewritten when one takes up an
// image.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

// `none`: a rule that only sends a signal; the drive answers as it would.
enum class sim_reply { busy, check, host, short_transfer, conflict, none };

struct sim_fault_rule {
    std::vector<std::uint8_t> cdb_prefix;
    std::int64_t skip = 0;
    std::optional<std::int64_t> count;  // none: every match after the skipped ones
    sim_reply reply = sim_reply::busy;
    std::uint8_t sense_key = 0, asc = 0, ascq = 0;  // "check"
    std::uint8_t host_status = 0xFF;                // "host"
    std::int64_t moved = 0;                         // "short"
    // A signal the process sends itself when the rule matches, before the
    // command is answered (0: none): a rehearsal of Ctrl-C, a service
    // manager's SIGTERM or a SIGKILL at an exact point of a run.
    int signal = 0;
};

enum class sim_layout { ultrium, other };
// How the device answers an open: it opens, another program holds it, or
// this process lacks the rights to open it (a run without root).
enum class sim_open { ok, held, denied };

struct sim_drive_config {
    int address = 0;
    int device_type = 1;
    int qualifier = 0;
    std::string vendor = "KV";
    std::string product = "ULTRIUM-HH6";
    std::string inquiry_number = "5";
    sim_layout layout = sim_layout::ultrium;
    std::string firmware = "1.00";
    std::string hw_config = "0x0000";
    bool lto = true;
    sim_open open = sim_open::ok;
    std::int64_t reboot_seconds = 60;
    // The unit serial number served as page 80h ("KV" and the address in 8
    // digits unless the bus file names one); empty: the page is not there.
    std::string serial;
    // Where the drive answers once it restarts after taking up an image
    // (hosts hand out device numbers in the order drives come back).
    std::optional<int> address_after_reboot;
    std::optional<std::vector<std::uint8_t>> standard_data, page_c0, page_c1;
    std::vector<sim_fault_rule> faults;
};

struct sim_bus_config {
    std::int64_t command_ms = 1;
    // Rules over the program's sleeps (the settle wait, the waits for late
    // drives): a rule's signal is sent when the sleep begins.
    std::vector<sim_fault_rule> sleeps;
    std::vector<sim_drive_config> drives;
    nlohmann::ordered_json document;  // as read, for the rewrite
};

// Reads and checks a bus file. On failure `problem` says what is wrong (which
// key, which drive) without naming the file.
bool load_bus_file(const std::string& path, sim_bus_config& bus, std::string& problem);

// Text widths of the built pages, shared with the drive that fills them.
constexpr std::size_t firmware_prefix_length = 5;   // "FW = "
constexpr std::size_t variant_prefix_length = 10;   // "HW_CONF = "
std::size_t firmware_field_width(sim_layout layout);
std::size_t variant_field_width(sim_layout layout);
