#include "sim/bus_file.h"

#include <cstdio>
#include <initializer_list>
#include <map>

#include "platform/interrupt.h"
#include "platform/number_text.h"
#include "platform/whole_file.h"
#include "scsi/scsi_device.h"

namespace {

using json = nlohmann::ordered_json;

constexpr std::int64_t largest_count = 1'000'000'000;

std::string quoted(const std::string& text) { return "\"" + text + "\""; }

// Pairs of hexadecimal digits; spaces may stand between (and inside) bytes
// so that a CDB or a page can be written the way it is usually printed. The
// bus file's own rule: bytes, not a number, so no "0x" and no sign.
bool parse_hex_bytes(const std::string& text, std::vector<std::uint8_t>& bytes) {
    std::string digits;
    for (char c : text) {
        if (c == ' ') continue;
        if (hex_digit_value(c) < 0) return false;
        digits += c;
    }
    if (digits.size() % 2 != 0) return false;
    bytes.clear();
    for (std::size_t i = 0; i < digits.size(); i += 2) {
        bytes.push_back(static_cast<std::uint8_t>(hex_digit_value(digits[i]) * 16 + hex_digit_value(digits[i + 1])));
    }
    return true;
}

// Reads the keys of one JSON object. Each reader leaves its output alone when
// the key is absent and fails, with the problem worded, when it is present
// but wrong.
class key_reader {
public:
    key_reader(const json& object, std::string where, std::string& problem)
        : object_(object), where_(std::move(where)), problem_(problem) {}

    bool only_known(std::initializer_list<const char*> known) {
        for (const auto& item : object_.items()) {
            bool listed = false;
            for (const char* name : known) listed = listed || item.key() == name;
            if (!listed) return fail(item.key(), "is not known");
        }
        return true;
    }

    bool text(const char* key, std::string& out, std::size_t max_length) {
        if (!object_.contains(key)) return true;
        const json& value = object_.at(key);
        if (!value.is_string()) return fail(key, "must be a text");
        const std::string text = value.get<std::string>();
        if (text.size() > max_length) {
            return fail(key, "is longer than " + std::to_string(max_length) + " characters");
        }
        out = text;
        return true;
    }

    bool number(const char* key, std::int64_t& out, std::int64_t low, std::int64_t high) {
        if (!object_.contains(key)) return true;
        const json& value = object_.at(key);
        if (!value.is_number_integer()) return fail(key, "must be a whole number");
        const bool too_large = value.is_number_unsigned() && value.get<std::uint64_t>() > std::uint64_t(high);
        const std::int64_t number = too_large ? high : value.get<std::int64_t>();
        if (too_large || number < low || number > high) {
            return fail(key, "must be " + std::to_string(low) + " to " + std::to_string(high));
        }
        out = number;
        return true;
    }

    bool number(const char* key, int& out, int low, int high) {
        std::int64_t wide = out;
        if (!number(key, wide, std::int64_t(low), std::int64_t(high))) return false;
        out = static_cast<int>(wide);
        return true;
    }

    bool flag(const char* key, bool& out) {
        if (!object_.contains(key)) return true;
        const json& value = object_.at(key);
        if (!value.is_boolean()) return fail(key, "must be true or false");
        out = value.get<bool>();
        return true;
    }

    // One of the listed words; `out` is its position in the list.
    bool choice(const char* key, int& out, std::initializer_list<const char*> words) {
        std::string word;
        if (!object_.contains(key)) return true;
        if (!text(key, word, std::string::npos)) return false;
        int index = 0;
        for (const char* allowed : words) {
            if (word == allowed) {
                out = index;
                return true;
            }
            ++index;
        }
        std::string listed;
        index = 0;
        for (const char* allowed : words) {
            if (index++ > 0) listed += index == int(words.size()) ? " or " : ", ";
            listed += quoted(allowed);
        }
        return fail(key, "must be " + listed);
    }

    bool hex(const char* key, std::vector<std::uint8_t>& out) {
        std::string text;
        if (!object_.contains(key)) return true;
        if (!this->text(key, text, std::string::npos)) return false;
        if (!parse_hex_bytes(text, out)) return fail(key, "must be hexadecimal bytes");
        return true;
    }

    bool hex(const char* key, std::optional<std::vector<std::uint8_t>>& out) {
        if (!object_.contains(key)) return true;
        std::vector<std::uint8_t> bytes;
        if (!hex(key, bytes)) return false;
        out = bytes;
        return true;
    }

    bool list(const char* key, const json*& out) {
        if (!object_.contains(key)) return true;
        const json& value = object_.at(key);
        if (!value.is_array()) return fail(key, "must be a list");
        out = &value;
        return true;
    }

    bool required(const char* key) { return object_.contains(key) || fail(key, "is missing"); }

    bool fail(const std::string& key, const std::string& what) {
        problem_ = where_ + "key " + quoted(key) + " " + what;
        return false;
    }

private:
    const json& object_;
    std::string where_;
    std::string& problem_;
};

bool read_rule_tail(const json& object, key_reader& keys, sim_fault_rule& rule);

bool read_fault(const json& object, const std::string& where, sim_fault_rule& rule, std::string& problem) {
    if (!object.is_object()) {
        problem = where + "is not a JSON object";
        return false;
    }
    key_reader keys(object, where, problem);
    if (!keys.only_known({"cdb", "skip", "count", "reply", "sense", "error", "moved", "signal"})) return false;
    if (!keys.required("cdb") || !keys.hex("cdb", rule.cdb_prefix)) return false;
    return read_rule_tail(object, keys, rule);
}

// What a command rule and a sleep rule share: when it matches, its reply,
// its signal.
bool read_rule_tail(const json& object, key_reader& keys, sim_fault_rule& rule) {
    std::int64_t count = 0;
    if (!keys.number("skip", rule.skip, 0, largest_count) || !keys.number("count", count, 0, largest_count)) {
        return false;
    }
    if (object.contains("count")) rule.count = count;

    std::string signal;
    if (!keys.text("signal", signal, std::string::npos)) return false;
    if (object.contains("signal")) {
        rule.signal = signal_by_name(signal);
        if (rule.signal == 0) return keys.fail("signal", "is not a signal this system knows");
    }
    // A rule that only sends a signal lets the drive answer.
    int reply = static_cast<int>(sim_reply::none);
    if (!object.contains("signal") && !keys.required("reply")) return false;
    if (!keys.choice("reply", reply, {"busy", "check", "host", "short", "conflict"})) return false;
    rule.reply = static_cast<sim_reply>(reply);

    if (rule.reply == sim_reply::check) {
        std::vector<std::uint8_t> sense;
        if (!keys.required("sense") || !keys.hex("sense", sense)) return false;
        if (sense.size() != 3) return keys.fail("sense", "must be three bytes: sense key, ASC, ASCQ");
        rule.sense_key = sense[0];
        rule.asc = sense[1];
        rule.ascq = sense[2];
    }
    if (rule.reply == sim_reply::host) {
        std::string error;
        if (!keys.text("error", error, std::string::npos)) return false;
        rule.host_status = error == "not_ready" ? scsi_host_not_ready : error == "io" ? scsi_host_io_error : scsi_host_failed;
    }
    if (rule.reply == sim_reply::short_transfer) {
        if (!keys.required("moved") || !keys.number("moved", rule.moved, 0, 0xFFFFFF)) return false;
    }
    return true;
}

bool read_drive_keys(const json& object, const std::string& where, sim_drive_config& drive, std::string& problem) {
    key_reader keys(object, where, problem);
    if (!keys.only_known({"address", "device_type", "qualifier", "vendor", "product", "inquiry_number", "layout",
                          "firmware", "hw_config", "lto", "open", "reboot_seconds", "serial",
                          "address_after_reboot", "standard_hex", "c0_hex", "c1_hex", "faults"})) {
        return false;
    }
    int layout = 0;
    int open = 0;
    const json* faults = nullptr;
    char default_serial[16];
    std::snprintf(default_serial, sizeof default_serial, "KV%08d", drive.address);
    drive.serial = default_serial;
    std::int64_t after_reboot = 0;
    // Page 80h carries the text's length in one byte.
    if (!keys.text("serial", drive.serial, 251) || !keys.number("address_after_reboot", after_reboot, 0, 255)) {
        return false;
    }
    if (object.contains("address_after_reboot")) drive.address_after_reboot = static_cast<int>(after_reboot);
    const bool read = keys.number("device_type", drive.device_type, 0, 31) &&
                      keys.number("qualifier", drive.qualifier, 0, 7) && keys.text("vendor", drive.vendor, 8) &&
                      keys.text("product", drive.product, 16) &&
                      keys.text("inquiry_number", drive.inquiry_number, 9) &&
                      keys.choice("layout", layout, {"ultrium", "other"});
    if (!read) return false;
    drive.layout = static_cast<sim_layout>(layout);
    const bool rest =
        keys.text("firmware", drive.firmware, firmware_field_width(drive.layout) - firmware_prefix_length) &&
        keys.text("hw_config", drive.hw_config, variant_field_width(drive.layout) - variant_prefix_length) &&
        keys.flag("lto", drive.lto) && keys.choice("open", open, {"ok", "fail", "denied"}) &&
        keys.number("reboot_seconds", drive.reboot_seconds, 0, largest_count) &&
        keys.hex("standard_hex", drive.standard_data) && keys.hex("c0_hex", drive.page_c0) &&
        keys.hex("c1_hex", drive.page_c1) && keys.list("faults", faults);
    if (!rest) return false;
    drive.open = static_cast<sim_open>(open);
    if (!faults) return true;
    for (std::size_t i = 0; i < faults->size(); ++i) {
        sim_fault_rule rule;
        if (!read_fault((*faults)[i], where + "fault " + std::to_string(i + 1) + ": ", rule, problem)) return false;
        drive.faults.push_back(rule);
    }
    return true;
}

bool read_drive(const json& object, std::size_t number, sim_drive_config& drive, std::string& problem) {
    std::string where = "drive " + std::to_string(number) + ": ";
    if (!object.is_object()) {
        problem = where + "is not a JSON object";
        return false;
    }
    key_reader keys(object, where, problem);
    if (!keys.required("address") || !keys.number("address", drive.address, 0, 255)) return false;
    where = "drive " + std::to_string(number) + " (address " + std::to_string(drive.address) + "): ";
    return read_drive_keys(object, where, drive, problem);
}

bool read_bus(const json& document, sim_bus_config& bus, std::string& problem) {
    if (!document.is_object()) {
        problem = "the top level is not a JSON object";
        return false;
    }
    key_reader keys(document, "", problem);
    const json* drives = nullptr;
    // Commands must take some time: a drive answering BUSY to a caller that
    // polls until a deadline would otherwise hold the run forever.
    const json* sleeps = nullptr;
    if (!keys.only_known({"command_ms", "drives", "sleeps"}) ||
        !keys.number("command_ms", bus.command_ms, 1, largest_count) || !keys.list("drives", drives) ||
        !keys.list("sleeps", sleeps)) {
        return false;
    }
    for (std::size_t i = 0; sleeps && i < sleeps->size(); ++i) {
        const json& object = (*sleeps)[i];
        const std::string where = "sleep rule " + std::to_string(i + 1) + ": ";
        if (!object.is_object()) {
            problem = where + "is not a JSON object";
            return false;
        }
        key_reader rule_keys(object, where, problem);
        sim_fault_rule rule;
        if (!rule_keys.only_known({"skip", "count", "signal"}) || !rule_keys.required("signal") ||
            !read_rule_tail(object, rule_keys, rule)) {
            return false;
        }
        bus.sleeps.push_back(rule);
    }
    if (!drives) return true;
    std::map<int, std::size_t> numbers_by_address;
    for (std::size_t i = 0; i < drives->size(); ++i) {
        sim_drive_config drive;
        if (!read_drive((*drives)[i], i + 1, drive, problem)) return false;
        const auto [known, fresh] = numbers_by_address.emplace(drive.address, i + 1);
        if (!fresh) {
            problem = "drive " + std::to_string(i + 1) + " (address " + std::to_string(drive.address) +
                      "): the address is also used by drive " + std::to_string(known->second);
            return false;
        }
        bus.drives.push_back(std::move(drive));
    }
    // Once every drive with the key has moved, no two may hold one address.
    std::map<int, std::size_t> after_moves;
    for (std::size_t i = 0; i < bus.drives.size(); ++i) {
        const sim_drive_config& drive = bus.drives[i];
        const int address = drive.address_after_reboot.value_or(drive.address);
        const auto [known, fresh] = after_moves.emplace(address, i + 1);
        if (!fresh) {
            problem = "drive " + std::to_string(i + 1) + " (address " + std::to_string(drive.address) +
                      "): after the drives restart, address " + std::to_string(address) +
                      " would also be held by drive " + std::to_string(known->second);
            return false;
        }
    }
    return true;
}

}  // namespace

std::size_t firmware_field_width(sim_layout layout) { return layout == sim_layout::ultrium ? 19 : 25; }
std::size_t variant_field_width(sim_layout layout) { return layout == sim_layout::ultrium ? 23 : 21; }

bool load_bus_file(const std::string& path, sim_bus_config& bus, std::string& problem) {
    std::string content;
    if (!read_whole_file(path, any_file_size, content)) {
        problem = "cannot be read";
        return false;
    }
    json document = json::parse(content, nullptr, false);
    if (document.is_discarded()) {
        problem = "is not valid JSON";
        return false;
    }
    bus = sim_bus_config{};
    if (!read_bus(document, bus, problem)) return false;
    bus.document = std::move(document);
    return true;
}
