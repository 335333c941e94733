// The bus scan: probes tape devices 0-255 of card 0 and takes the maker's
// tape drives into a table, in address order from slot 0.
#pragma once

#include <cstdint>
#include <vector>

#include "inventory/drive_table.h"

// What one address held.
enum class device_finding {
    absent,        // no device there
    not_taken,     // a device, but not one of the maker's drives that can be flashed
    taken,         // one of the maker's drives: the record holds what was read
    unexaminable,  // a device that could not be examined (held by another
                   // program, no standard data or too little of it, or no
                   // answer to the maker's configuration checks): it may be
                   // one of the maker's drives
};

// Why a device was not taken, where whoever runs the program needs to know:
// a device that could not be examined, or a sequential-access device with
// the maker's vendor identification that its own answers show is not one of
// the maker's drives that can be flashed.
enum class finding_cause : std::uint8_t {
    none,               // taken, absent, or another vendor's or another kind of device
    open_denied,        // unexaminable: this process lacks the rights to open it
    open_held,          // unexaminable: it is there but would not open (another program holds it)
    no_answer,          // unexaminable: it opened but did not answer what the scan asks
    no_inquiry_number,  // not taken: an Ultrium product without an inquiry number above 0
    no_page_c0,         // not taken: it answered ILLEGAL REQUEST to page C0h
    no_vendor_buffer,   // not taken: page C0h holds no configuration, and it answered
                        // ILLEGAL REQUEST to its vendor buffer
};

// The cause in a few words for the log and the report ("its page C0h
// answered ILLEGAL REQUEST"); empty for none and no_answer.
const char* finding_cause_text(finding_cause cause);

// A device the scan could not examine.
struct unexamined_device {
    std::uint32_t address;
    finding_cause cause;
};

// A device of the maker's vendor passed over as not one of its drives, with
// the texts of its standard data.
struct passed_over_device {
    std::uint32_t address;
    finding_cause cause;
    text_field<512> vendor_id;
    text_field<512> product_id;
};

// Zeroes the table, fills it, and returns the number of drives taken. Every
// taken drive keeps its card, address and lun, whatever its pages answered;
// a serial number that two of them answer is dropped (drop_shared_serials).
// The devices that could not be examined are added to `unexamined`, and the
// maker's devices passed over as not its drives to `passed_over`, when given.
// `nodes`, when given, is set to the number of addresses where a device was
// there at all (any vendor, examinable or not).
int discover_drives(drive_table& table, std::vector<unexamined_device>* unexamined = nullptr,
                    std::vector<passed_over_device>* passed_over = nullptr, int* nodes = nullptr);

// A serial number that more than one drive of the table answers tells none
// of them apart: each such drive keeps the text in `shared_serial` and has
// no serial number (`serial` empty), so that it is told apart by its device
// number. discover_drives does this for every scan it makes.
void drop_shared_serials(drive_table& table);

// Opens the device at its card, address and lun, asks it as the scan does
// (TEST UNIT READY, standard data, the maker's checks, vendor pages) and
// closes it again. For a taken drive the record holds what the scan would
// have stored; `cause`, when given, says why a device was not taken.
device_finding read_drive_at(scsi_device& device, drive_record& record, finding_cause* cause = nullptr);
