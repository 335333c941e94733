// The firmware catalogue "fwimage/firmware.cfg": which image, of which
// version, belongs to drives of which hardware configuration code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "inventory/drive_table.h"

constexpr const char catalogue_path[] = "fwimage/firmware.cfg";
constexpr const char image_folder[] = "fwimage";

// What a reading learnt beyond the table: the data lines that are stored as
// the format says but cannot be meant as entries (their drive ID field does
// not begin with a hexadecimal number, after spaces, a sign and 0x, or their
// version reads as 0), and how many data lines are entries. A catalogue
// whose every line is of the first kind (an error page saved under its name)
// is judged as holding no entry.
struct catalogue_line {
    unsigned number;   // from 1, every line of the file counted
    std::string text;  // as in the file
};
struct catalogue_reading {
    std::vector<catalogue_line> not_entries;
    int entries = 0;
};

// Zeroes the table and fills it from the catalogue file. Returns -1 when the
// file cannot be opened, else the number of entries stored. `digest`, when
// given, gets the SHA-256 of the file's bytes as read (left empty when the
// file could not be opened or read), so that a report can tell which
// catalogue a plan was made from. `why`, when given, gets the cause in words
// when it returns -1.
// `reading`, when given, gets what the lines were.
int read_catalogue(drive_table& table, std::optional<sha256_digest>* digest = nullptr, std::string* why = nullptr,
                   catalogue_reading* reading = nullptr);

// A catalogue that must be signed is read whole, once: its signature is
// checked over these bytes and the table parsed from them, so that nothing
// can change between the check and the use. A larger one is refused.
constexpr std::size_t signed_catalogue_limit = 1024 * 1024;

struct catalogue_bytes {
    bool read = false;  // false: missing, unreadable, or beyond the limit
    std::string bytes;
    std::optional<sha256_digest> digest;  // of the bytes, when read
    std::string why;                      // why it was not read, in words
};

// Reads catalogue_path whole into `file`; false (with `file.why`) when it
// is missing, not a regular file, cannot be read or exceeds the limit.
bool read_catalogue_bytes(catalogue_bytes& file, const std::string& path = catalogue_path);

// Zeroes the table and fills it from bytes read (and checked) before, as
// read_catalogue reads the file, except that every data line must carry its
// image's checksum: one without is marked image_checksum::missing. Returns
// -1 when the bytes were not read, else the number of entries stored.
int read_signed_catalogue(const catalogue_bytes& file, drive_table& table, catalogue_reading* reading = nullptr);

// The first slot (0 to 22, in use or not) whose drive_id equals the given
// one, or nullptr.
const drive_record* find_by_drive_id(std::uint32_t drive_id, const drive_table& table);
