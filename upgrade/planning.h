#pragma once

#include "inventory/drive_table.h"

// One recommended record per identified discovered drive the catalogue
// knows, with "upgrade" when the drive runs an older version than the
// catalogued image. Drives that could not be identified get no record.
void plan_actions(const drive_table& discovered, const drive_table& catalogue, drive_table& recommended);
