// "--list": the maker's drives as the bus scan finds them, one line each,
// with the catalogue's version for each and what upgrade all would do. It
// sends only the scan's commands and writes nothing to the setup log.
#pragma once

#include <nlohmann/json.hpp>

// The list as a document (docs/drive-list.schema.json): scans the bus and
// reads the catalogue (checked against the trusted keys when there are any).
// Why the catalogue gave no versions is said on standard error.
nlohmann::ordered_json drive_list_document();

// Prints it as a table, or with `as_json` as JSON. Returns 0: the scan ran,
// whatever it found.
int print_drive_list(bool as_json);
