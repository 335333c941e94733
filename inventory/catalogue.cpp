#include "inventory/catalogue.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <string_view>

#include "inventory/number_text.h"
#include "platform/file_handle.h"

namespace {

// A line is read in pieces of at most this many characters, its line feed
// included; what is left of a longer line comes as the next piece.
constexpr std::size_t piece_length = 254;

using line_buffer = text_field<piece_length + 1>;

// Reads the next piece of a line, without its line feed. The file is opened
// in binary so that it reads the same everywhere; a carriage return before a
// line feed is folded into the line feed, as a text-mode stream does on
// Windows. False at the end of the file.
bool read_piece(std::FILE* file, std::string& piece) {
    piece.clear();
    while (piece.size() < piece_length) {
        int c = std::fgetc(file);
        if (c == EOF) break;
        if (c == '\r') {
            const int next = std::fgetc(file);
            if (next == '\n') c = '\n';
            else if (next != EOF) std::ungetc(next, file);
        }
        piece.push_back(static_cast<char>(c));
        if (c == '\n') break;
    }
    if (piece.empty()) return false;
    if (piece.back() == '\n') piece.pop_back();
    return true;
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

// Fills `entry` from an upper-cased, trimmed data line. False when the line
// cannot be stored: a file name that does not fit is refused rather than cut,
// since a cut name could name another image.
bool parse_data_line(std::string_view line, drive_record& entry) {
    entry.in_use = 1;
    line_buffer number{};
    std::string_view rest = line, field;
    for (int position = 1; position <= 3 && next_field(rest, field); ++position) {
        if (position == 1) {
            copy_text(number, field);
            entry.drive_id = parse_hex32(number.data());
        } else if (position == 2) {
            if (!copy_text(entry.firmware_file, field)) return false;
        } else {
            copy_text(number, field);
            entry.fw_version = parse_double(trim_spaces(number.data()));
        }
    }
    return true;
}

// Only the very first character makes a comment.
bool is_data_line(std::string_view line) { return !line.empty() && line.front() != '$'; }

}  // namespace

int read_catalogue(drive_table& table) {
    clear_table(table);
    file_handle file = open_file(catalogue_path, "rb");
    if (!file) return -1;

    std::size_t stored = 0;
    std::string piece;
    line_buffer line{};
    while (read_piece(file.get(), piece)) {
        // A stray NUL ends the text, as it would for any C string.
        if (!is_data_line(piece.c_str())) continue;
        // Lines beyond the table's last slot are passed over: a catalogue
        // longer than the table still lets every drive in its first 23 lines
        // be served.
        if (stored == table.size()) continue;
        copy_text(line, piece);
        to_upper(trim_spaces(line.data()));

        drive_record entry{};
        if (!parse_data_line(text_of(line), entry)) continue;
        table[stored++] = entry;
    }
    return static_cast<int>(stored);
}

const drive_record* find_by_drive_id(std::uint32_t drive_id, const drive_table& table) {
    for (const drive_record& record : table) {
        if (record.drive_id == drive_id) return &record;
    }
    return nullptr;
}
