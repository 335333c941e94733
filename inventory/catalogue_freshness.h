// Versioned, expiring catalogues: a signed catalogue may say which release it
// is and until when it holds, in header lines that older readers take for
// comments ("$serial 12", "$expires 2027-06-30"). The host remembers, per
// signing key, the highest serial it accepted, so that an older release
// served again (to freeze the fleet, or to roll it back) is refused.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "inventory/catalogue.h"
#include "inventory/catalogue_signature.h"

struct catalogue_header {
    std::optional<std::uint32_t> serial;
    std::optional<std::int64_t> expires_day;  // days since 1970-01-01, UTC
    std::string expires;                      // as written, YYYY-MM-DD
    std::string problem;                      // a header line that cannot be read; empty when none
};

// The "$serial <decimal>" and "$expires <YYYY-MM-DD>" lines of the catalogue's
// bytes, read by the catalogue's own line rules (a line feed ends a line, a
// carriage return before it belongs to the line end, Ctrl-Z ends the text).
// A keyword counts only right after the "$", in any letter case, followed by
// a space or a tab. A line with the keyword that does not read, or a second
// one, is a problem: a typing slip must never turn the check off.
catalogue_header read_catalogue_header(std::string_view bytes);

// What the host accepted before: the highest serial per key fingerprint
// (lower-case hex), in "catalogue-serial.json" of the state folder.
struct serial_record {
    std::string path;
    std::map<std::string, std::uint32_t> serials;
};

constexpr const char serial_record_name[] = "catalogue-serial.json";

// Reads the record of the state folder. A missing file is an empty record;
// one that cannot be read, or is not the record, is false with `why`: the
// host's memory must not be lost in silence.
bool load_serial_record(const std::string& state_folder, serial_record& record, std::string& why);

// Writes the record with this key's serial, whole or not at all (the state
// folder is made when missing, one level). False with `why`.
bool store_serial(serial_record& record, const std::string& fingerprint, std::uint32_t serial, std::string& why);

enum class freshness { fresh, unreadable_header, expired, older };

// How a verified catalogue stands against the calendar and the record.
// `accepted` gets the serial it is older than.
freshness judge_freshness(const catalogue_header& header, const serial_record& record,
                          const std::string& fingerprint, std::int64_t now_seconds, std::uint32_t& accepted);

// Whether accepting this catalogue changes the record.
bool serial_to_record(const catalogue_header& header, const serial_record& record, const std::string& fingerprint);

// Judges a catalogue whose signature verified (`check.verified`) against the
// calendar and the record of `state_folder`, filling the check's serial and
// expiry. Accepted: empty, and with `record` its serial is kept when higher
// than the key's last, before anything is sent. Refused: `check` is no
// longer verified, its reason says why, and the refusal line is returned.
std::string accept_verified_catalogue(signature_check& check, const catalogue_bytes& file, const char* catalogue,
                                      const std::string& state_folder, bool record);
