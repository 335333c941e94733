#pragma once

#include "inventory/drive_table.h"

// Upgrade all's rule for one drive and its catalogue entry: flash when the
// drive runs an older version than the catalogued image (compared as numbers).
inline bool older_than_catalogue(const drive_record& drive, const drive_record& entry) {
    return drive.fw_version < entry.fw_version;
}

// One recommended record per identified discovered drive the catalogue
// knows, with "upgrade" when the drive runs an older version than the
// catalogued image. Drives that could not be identified get no record.
void plan_actions(const drive_table& discovered, const drive_table& catalogue, drive_table& recommended);
