// The one record type of every table a run handles (discovered drives,
// catalogue entries, planned actions, selected devices) and the fixed table
// of 23 of them that the subsystems hand each other.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "inventory/text_field.h"
#include "platform/sha256.h"
#include "scsi/scsi_device.h"

// What a catalogue entry says about its image's checksum (the optional
// fourth field "sha256:<64 hex digits>").
enum class image_checksum : std::uint8_t {
    none,       // no checksum field: the image is sent as it is
    sha256,     // image_sha256 holds the digest the image must have
    malformed,  // a "sha256:" field without exactly 64 hex digits: never sent
    missing,    // no checksum in a signed catalogue, whose signature reaches
                // an image only through its checksum: never sent
};

struct drive_record {
    std::int32_t in_use;
    std::uint8_t peripheral_qualifier;
    std::uint8_t peripheral_device_type;
    text_field<512> vendor_id;
    text_field<512> product_id;
    std::uint32_t drive_id;           // hardware configuration code
    text_field<520> fw_item_type;
    double fw_version;
    // The running version (drives) or the catalogue's version (entries) as
    // the drive or the catalogue wrote it, trimmed: "2.10" is not "2.1" to
    // whoever compares what a report says with what the drive shows.
    text_field<32> fw_version_text;
    double target_version;
    text_field<512> firmware_id;
    text_field<128> action;
    std::uint32_t duration;
    text_field<128> firmware_file;    // relative to "fwimage"
    scsi_device device;
    std::int32_t inquiry_number;
    // Set when the standard data reached byte 47, where the number begins: a
    // shorter reply says nothing about it, not that it is 0.
    bool inquiry_number_read;
    // Set by the page readers when the number was read from the drive itself
    // (the page answered, covered the field, and a number stood after its
    // "="). A zero drive_id or fw_version means nothing without them.
    bool drive_id_read;
    bool fw_version_read;
    // How the vendor page INQUIRY that left the drive unidentified failed,
    // as the setup log tells it ("SCSI INQUIRY page C0h on device 2: BUSY");
    // empty when every page answered.
    text_field<192> read_failure;
    // The unit serial number (INQUIRY page 80h), spaces trimmed: what a
    // person finds printed on the drive and shown by the library, and what
    // tells this drive from an identical one that took its device number.
    // Empty when the drive has none (the page answered ILLEGAL REQUEST, or
    // held no text), and when what it answered cannot tell it apart (below).
    // Wide enough for the escaped form a discovery document carries (each
    // control byte as \xNN).
    text_field<1024> serial;
    // The page failed otherwise: the drive's identity is not known whole.
    bool serial_failed;
    // The page said more text than arrived: a cut serial number may be the
    // start of another drive's, so the drive has none for the run.
    bool serial_cut;
    // A serial number that another drive of the same scan answers too: it
    // tells neither apart, so `serial` is empty and the text is kept here
    // for the lines that say so.
    text_field<256> shared_serial;
    // Catalogue entries only.
    image_checksum checksum;
    sha256_digest image_sha256;
};

// A discovered drive whose configuration code and running version were both
// read from the drive. Any other drive is never matched to the catalogue,
// planned or flashed: its firmware is unknown.
inline bool is_identified(const drive_record& record) {
    return record.drive_id_read && record.fw_version_read && !record.serial_failed;
}

// Serial numbers are compared in the form a discovery document carries them
// (each byte that is not printable ASCII as \xNN, see escaped_text): a
// drive's own answer and the text of a document it was written to compare
// alike. Empty is no serial number and matches nothing.
bool same_serial(std::string_view a, std::string_view b);

constexpr std::size_t drive_table_slots = 23;
using drive_table = std::array<drive_record, drive_table_slots>;

// Every field zero, every text empty, every slot free.
void clear_table(drive_table& table);
int count_in_use(const drive_table& table);
// Prints the records in use, each action trimmed for the eye; the table itself
// is not changed (an action is compared as read).
void dump_table(const drive_table& table);
