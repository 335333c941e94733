#include "inventory/catalogue.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <string>
#include <string_view>

#include "platform/file_handle.h"
#include "platform/file_read.h"
#include "platform/file_write.h"
#include "platform/number_text.h"
#include "platform/platform.h"
#include "platform/whole_file.h"

namespace {

// A line is read whole, however long: a comment stays a comment to its end,
// and no tail of a long line can pass for a data line of its own (it could
// name another drive's image). A data line is a handful of short fields, so
// one longer than this was never meant as an entry and makes none; only this
// much of any line is kept in memory.
constexpr std::size_t longest_line = 64 * 1024;

// Ctrl-Z ends a text file, as the C runtime's text mode on Windows reads it;
// what follows it is not part of the catalogue on any system.
constexpr int end_of_text = 0x1A;

// The catalogue's bytes in order, from the file itself (streamed, as an
// unsigned catalogue is read) or from the bytes a signature was checked over.
struct byte_source {
    std::FILE* file = nullptr;
    std::string_view bytes;
    std::size_t at = 0;

    int get() {
        if (file) return std::fgetc(file);
        return at < bytes.size() ? static_cast<unsigned char>(bytes[at++]) : EOF;
    }
    // Gives back the byte just read.
    void unget(int c) {
        if (file) std::ungetc(c, file);
        else if (c != EOF) --at;
    }
};

// Reads the next line, without its line end. The file is opened in binary so
// that it reads the same everywhere; a carriage return before a line feed
// belongs to the line end, as a text-mode stream has it on Windows. `whole`
// is false when the line was longer than longest_line and only its start was
// kept. False at the end of the catalogue.
bool read_line(byte_source& source, std::string& line, bool& whole) {
    line.clear();
    whole = true;
    bool any = false;
    for (;;) {
        int c = source.get();
        if (c == end_of_text) {
            source.unget(c);  // every later read ends here too
            break;
        }
        if (c == EOF) break;
        any = true;
        if (c == '\r') {
            const int next = source.get();
            if (next == '\n') c = '\n';
            else if (next != EOF) source.unget(next);
        }
        if (c == '\n') break;
        if (line.size() < longest_line) line.push_back(static_cast<char>(c));
        else whole = false;
    }
    return any;
}

// Splits at runs of '|'; a '|' at either end gives no field.
bool next_field(std::string_view& rest, std::string_view& field) {
    const std::size_t begin = rest.find_first_not_of('|');
    if (begin == std::string_view::npos) return false;
    rest.remove_prefix(begin);
    const std::size_t end = std::min(rest.find('|'), rest.size());
    field = rest.substr(0, end);
    rest.remove_prefix(end);
    return true;
}

bool all_hex_digits(std::string_view text) {
    for (const char c : text) {
        if (hex_digit_value(c) < 0) return false;
    }
    return true;
}

// The fourth field, when it is a checksum: "SHA256:" (the line is upper-
// cased) and 64 hexadecimal digits, spaces around the field aside. A field
// that looks meant as one (it begins with "SHA", or it is a bare digest) but
// is not exactly that is malformed, so that a typing slip never turns the
// check off in silence. Any other fourth field is ignored, as it always was.
void read_checksum(std::string_view field, drive_record& entry) {
    constexpr std::string_view tag = "SHA256:";
    const std::size_t digits = 2 * entry.image_sha256.size();
    const std::size_t begin = field.find_first_not_of(" \t");
    if (begin == std::string_view::npos) return;
    field = field.substr(begin, field.find_last_not_of(" \t") + 1 - begin);
    const bool bare_digest = field.size() == digits && all_hex_digits(field);
    if (field.substr(0, 3) != "SHA" && !bare_digest) return;

    entry.checksum = image_checksum::malformed;
    if (field.size() != tag.size() + digits || field.substr(0, tag.size()) != tag) return;
    field.remove_prefix(tag.size());
    if (!all_hex_digits(field)) return;
    for (std::size_t i = 0; i < entry.image_sha256.size(); ++i) {
        entry.image_sha256[i] =
            static_cast<std::uint8_t>(hex_digit_value(field[2 * i]) * 16 + hex_digit_value(field[2 * i + 1]));
    }
    entry.checksum = image_checksum::sha256;
}

// Fills `entry` from an upper-cased, trimmed data line. False when the line
// cannot be stored: a file name that does not fit is refused rather than cut,
// since a cut name could name another image. In a signed catalogue a line
// without a checksum is marked: the signature covers an image only through
// its checksum, so such an image is never sent.
bool parse_data_line(std::string_view line, drive_record& entry, bool checksum_required) {
    entry.in_use = 1;
    std::string_view rest = line, field;
    for (int position = 1; position <= 4 && next_field(rest, field); ++position) {
        std::string text(field);
        if (position == 1) {
            entry.drive_id = parse_hex32(text.c_str());
        } else if (position == 2) {
            if (!copy_text(entry.firmware_file, field)) return false;
        } else if (position == 3) {
            entry.fw_version = parse_double(trim_spaces(text.data()));
            copy_text(entry.fw_version_text, trim_spaces(text.data()));
        } else {
            read_checksum(field, entry);
        }
    }
    if (checksum_required && entry.checksum == image_checksum::none) entry.checksum = image_checksum::missing;
    return true;
}

// Whether a stored data line can be meant as an entry: its drive ID field
// begins with a hexadecimal number (after spaces, a sign and 0x, as the
// field is read) and its version is not 0. `line` is trimmed and upper-cased.
bool reads_as_entry(std::string_view line, const drive_record& entry) {
    std::string_view rest = line, field;
    if (!next_field(rest, field) || entry.fw_version == 0) return false;
    std::size_t at = field.find_first_not_of(" \t\n\v\f\r");
    if (at == std::string_view::npos) return false;
    if (field[at] == '+' || field[at] == '-') ++at;
    if (field.substr(at, 2) == "0X") at += 2;
    return at < field.size() && hex_digit_value(field[at]) >= 0;
}

// Only the very first character makes a comment.
bool is_data_line(std::string_view line) { return !line.empty() && line.front() != '$'; }

// The digest of the whole file, read again from its first byte through the
// same handle: the very file that was parsed, even if renamed meanwhile.
std::optional<sha256_digest> hash_from_start(std::FILE* file) {
    if (std::fseek(file, 0, SEEK_SET) != 0) return std::nullopt;
    std::array<std::uint8_t, 4096> chunk{};
    long long length = 0;
    return sha256_of_rest(file, chunk.data(), chunk.size(), nullptr, length);
}

// Fills the table from the catalogue's lines.
int parse_lines(byte_source& source, drive_table& table, bool checksum_required, catalogue_reading* reading) {
    std::size_t stored = 0;
    std::string line;
    bool whole = true;
    unsigned number = 0;
    while (read_line(source, line, whole)) {
        ++number;
        // A stray NUL ends the text, as it would for any C string.
        if (!is_data_line(line.c_str()) || !whole) continue;
        // Lines beyond the table's last slot are passed over: a catalogue
        // longer than the table still lets every drive in its first 23 lines
        // be served.
        if (stored == table.size()) continue;
        const std::string as_written = line.c_str();
        const char* text = to_upper(trim_spaces(line.data()));

        drive_record entry{};
        if (!parse_data_line(text, entry, checksum_required)) continue;
        table[stored++] = entry;
        if (!reading) continue;
        if (reads_as_entry(text, entry)) ++reading->entries;
        else reading->not_entries.push_back({number, as_written});
    }
    return static_cast<int>(stored);
}

}  // namespace

int read_catalogue(drive_table& table, std::optional<sha256_digest>* digest, std::string* why,
                   catalogue_reading* reading) {
    clear_table(table);
    if (digest) digest->reset();
    std::string cause;
    // Only a file is a catalogue: a pipe or a device would block the reading
    // or never end it, so neither is ever opened.
    file_handle file;
    if (!path_exists(catalogue_path)) {
        cause = "No such file or directory";
    } else if (!is_regular_file(catalogue_path)) {
        cause = "it is not a regular file";
    } else {
        file.reset(open_regular_file_for_reading(catalogue_path, cause));
    }
    if (!file) {
        if (why) *why = cause;
        return -1;
    }

    byte_source source{file.get(), {}, 0};
    const int stored = parse_lines(source, table, false, reading);
    if (digest) *digest = hash_from_start(file.get());
    return stored;
}

bool read_catalogue_bytes(catalogue_bytes& file, const std::string& path) {
    file = catalogue_bytes{};
    if (!path_exists(path)) {
        file.why = "the catalogue is missing";
        return false;
    }
    if (!read_whole_file(path, signed_catalogue_limit, file.bytes)) {
        file.bytes.clear();
        file.why = "the catalogue cannot be read, or holds more than 1 MiB";
        return false;
    }
    file.digest = sha256_of_bytes(file.bytes.data(), file.bytes.size());
    if (!file.digest) {
        file.bytes.clear();
        file.why = "the catalogue's digest could not be taken";
        return false;
    }
    file.read = true;
    return true;
}

int read_signed_catalogue(const catalogue_bytes& file, drive_table& table, catalogue_reading* reading) {
    clear_table(table);
    if (!file.read) return -1;
    byte_source source{nullptr, file.bytes, 0};
    return parse_lines(source, table, true, reading);
}

const drive_record* find_by_drive_id(std::uint32_t drive_id, const drive_table& table) {
    for (const drive_record& record : table) {
        if (record.drive_id == drive_id) return &record;
    }
    return nullptr;
}
