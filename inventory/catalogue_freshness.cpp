#include "inventory/catalogue_freshness.h"

#include <algorithm>
#include <cstdint>

#include <nlohmann/json.hpp>

#include "inventory/text_field.h"
#include "inventory/trust_refusals.h"
#include "platform/calendar.h"
#include "platform/number_text.h"
#include "platform/platform.h"
#include "platform/whole_file.h"

namespace {

using json = nlohmann::ordered_json;

constexpr int record_format = 1;
constexpr std::size_t record_limit = 256 * 1024;
constexpr int end_of_text = 0x1A;

// The value after "$<keyword>" and a space or tab, or none when the line is
// no such header line.
std::optional<std::string_view> header_value(std::string_view line, std::string_view keyword) {
    if (line.size() < 2 + keyword.size() || line[0] != '$') return std::nullopt;
    if (!same_ignoring_case(line.substr(1, keyword.size()), keyword)) return std::nullopt;
    const char after = line[1 + keyword.size()];
    if (after != ' ' && after != '\t') return std::nullopt;
    std::string_view value = line.substr(2 + keyword.size());
    const std::size_t begin = value.find_first_not_of(" \t");
    if (begin == std::string_view::npos) return std::string_view();
    return value.substr(begin, value.find_last_not_of(" \t") + 1 - begin);
}

void read_header_line(std::string_view line, catalogue_header& header) {
    if (const auto value = header_value(line, "serial")) {
        std::uint32_t serial = 0;
        const std::string text(*value);
        if (header.serial) {
            header.problem = "it has more than one $serial line";
        } else if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos ||
                   !read_plain_decimal32(text.c_str(), serial)) {
            header.problem = "its $serial line is not a decimal number from 0 to 4294967295";
        } else {
            header.serial = serial;
        }
    } else if (const auto date = header_value(line, "expires")) {
        std::int64_t day = 0;
        if (header.expires_day) {
            header.problem = "it has more than one $expires line";
        } else if (!read_utc_date(*date, day)) {
            header.problem = "its $expires line is not a date YYYY-MM-DD";
        } else {
            header.expires_day = day;
            header.expires = std::string(*date);
        }
    }
}

}  // namespace

catalogue_header read_catalogue_header(std::string_view bytes) {
    catalogue_header header;
    bytes = bytes.substr(0, bytes.find(static_cast<char>(end_of_text)));
    while (!bytes.empty() && header.problem.empty()) {
        const std::size_t end = bytes.find('\n');
        std::string_view line = bytes.substr(0, end);
        bytes.remove_prefix(end == std::string_view::npos ? bytes.size() : end + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        // A stray NUL ends the line, as the catalogue reader takes it.
        line = line.substr(0, line.find('\0'));
        read_header_line(line, header);
    }
    return header;
}

bool load_serial_record(const std::string& state_folder, serial_record& record, std::string& why) {
    record = serial_record{};
    record.path = path_in_folder(state_folder, serial_record_name);
    if (!path_exists(record.path)) return true;
    std::string text;
    if (!read_whole_file(record.path, record_limit, text)) {
        why = "it cannot be read";
        return false;
    }
    const json document = json::parse(text, nullptr, false);
    if (document.is_discarded() || !document.is_object() || document.value("format", 0) != record_format ||
        !document.contains("keys") || !document["keys"].is_object()) {
        why = "it is not a record of accepted catalogues";
        return false;
    }
    for (const auto& [fingerprint, entry] : document["keys"].items()) {
        const json* serial = entry.is_object() && entry.contains("serial") ? &entry["serial"] : nullptr;
        if (serial == nullptr || !serial->is_number_unsigned() || serial->get<std::uint64_t>() > UINT32_MAX) {
            why = "its entry for key " + fingerprint + " holds no serial";
            return false;
        }
        record.serials[fingerprint] = serial->get<std::uint32_t>();
    }
    return true;
}

bool store_serial(serial_record& record, const std::string& fingerprint, std::uint32_t serial, std::string& why) {
    const std::string folder = folder_of_path(record.path);
    if (!is_directory(folder) && !create_directory(folder)) {
        why = "its folder " + folder + " cannot be made";
        return false;
    }
    serial_record updated = record;
    updated.serials[fingerprint] = serial;
    json keys = json::object();
    for (const auto& [key, value] : updated.serials) keys[key] = {{"serial", value}};
    const json document = {{"format", record_format}, {"keys", std::move(keys)}};
    if (replace_whole_file(updated.path, document.dump(2) + "\n", &why) != file_write_result::written) return false;
    record = std::move(updated);
    return true;
}

freshness judge_freshness(const catalogue_header& header, const serial_record& record,
                          const std::string& fingerprint, std::int64_t now_seconds, std::uint32_t& accepted) {
    if (!header.problem.empty()) return freshness::unreadable_header;
    // It holds to the end of its day, UTC.
    if (header.expires_day && now_seconds >= (*header.expires_day + 1) * seconds_per_day) return freshness::expired;
    const auto known = record.serials.find(fingerprint);
    if (header.serial) {
        if (known != record.serials.end() && *header.serial < known->second) {
            accepted = known->second;
            return freshness::older;
        }
        return freshness::fresh;
    }
    // Without a serial it cannot be told from a replay once the host has
    // accepted one with a serial, by any key.
    for (const auto& [key, serial] : record.serials) {
        accepted = std::max(accepted, serial);
    }
    return record.serials.empty() ? freshness::fresh : freshness::older;
}

bool serial_to_record(const catalogue_header& header, const serial_record& record, const std::string& fingerprint) {
    if (!header.serial) return false;
    const auto known = record.serials.find(fingerprint);
    return known == record.serials.end() || *header.serial > known->second;
}

std::string accept_verified_catalogue(signature_check& check, const catalogue_bytes& file, const char* catalogue,
                                      const std::string& state_folder, bool record) {
    const catalogue_header header = read_catalogue_header(file.bytes);
    check.serial = header.serial;
    check.expires = header.expires;
    const std::string key = hex_text(check.key->data(), check.key->size());
    serial_record known;
    std::string why;
    std::uint32_t accepted = 0;
    std::string line;
    if (!load_serial_record(state_folder, known, why)) {
        check.reason = "this host's record " + known.path + " of accepted catalogues cannot be read: " + why;
        line = not_accepted_line(catalogue, check.reason);
    } else {
        switch (judge_freshness(header, known, key, platform_now_seconds(), accepted)) {
            case freshness::unreadable_header:
                check.reason = header.problem;
                line = not_accepted_line(catalogue, check.reason);
                break;
            case freshness::expired:
                check.reason = "it " + expired_reason(header.expires);
                line = expired_catalogue_line(catalogue, header.expires);
                break;
            case freshness::older:
                check.reason = "it " + older_reason(header.serial, accepted);
                line = older_catalogue_line(catalogue, header.serial, accepted);
                break;
            case freshness::fresh:
                if (record && serial_to_record(header, known, key) && !store_serial(known, key, *header.serial, why)) {
                    check.reason = "its serial cannot be recorded in " + known.path + ": " + why;
                    line = not_accepted_line(catalogue, check.reason);
                }
                break;
        }
    }
    if (!line.empty()) check.verified = false;
    return line;
}
