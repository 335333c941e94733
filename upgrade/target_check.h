// Before anything is sent to a drive, its action must fit the versions: the
// catalogue's version for its drive ID (the image that would be sent, its
// target) and the version the drive itself reported (never a document's
// word for it). An administrator approved one image; no other is sent.
#pragma once

#include "inventory/drive_table.h"

enum class target_fit {
    fits,               // send the image
    already_at_target,  // "upgrade" or "downgrade" of a drive that already runs the target
    stale_plan,         // the plan was made for another catalogue version
    refused,            // an action its versions do not allow
};

// Checks the work record's action against `target` (the catalogue's
// version): first that the plan was made for that version (the record's
// target_version, as a discovery document holds it), then that "upgrade"
// raises the drive's version, "downgrade" lowers it and "rewrite" keeps it.
// A refusal is logged and printed, ending "it is left untouched."; a drive
// already at its target gets one setup-log line.
target_fit check_target(const drive_record& record, double target);
