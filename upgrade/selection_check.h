// A selection document is replayed some time after the discovery that wrote
// it; meanwhile device numbers can move (a drive added, a reboot) and the
// document may have been edited by hand. Before anything is flashed from a
// document, every drive it selects for a flash must still be the drive at the
// document's address, as the drive itself reports it.
#pragma once

#include <array>

#include "inventory/drive_table.h"

// What the check read, by selection slot, for the run report: the drive
// taken at each checked address (a free slot where none was), and which
// records did not match.
struct selection_findings {
    drive_table found;
    std::array<bool, drive_table_slots> mismatched;
};

// Asks the drive at the address of every record in use whose action asks for
// a flash for its identity, as the bus scan reads it. A record matches when
// the drive there was identified and reports the record's drive ID and
// product ID (spaces trimmed); the record then takes over what the drive
// reported (product ID, running version), so that flashing picks its
// download procedure, and verification judges the new version, from the
// drive and never from the document's text. A record that carries a serial
// number matches only a drive that answers it (compared as same_serial
// does); a matching record takes the drive's own serial number, none when
// another checked drive answers it too (said in the setup log). Each record
// that does not match costs one line in the setup log and on the console.
// A request to stop ends the check before the next drive is opened; the
// caller must then look for it before trusting the count. Returns the number
// of such records; 0 means safe to flash. `findings`, when given, is filled.
int check_selected_drives(drive_table& selection, selection_findings* findings = nullptr);
