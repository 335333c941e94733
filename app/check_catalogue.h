// "kvtapefw --check-catalogue <folder>": whether the firmware folder's
// catalogue would be accepted on this host (its signature by a trusted key,
// its serial against the one the host accepted, its expiry, and each image's
// checksum and place), told in one line on standard output. Nothing is
// recorded, no drive is touched and the setup log is not written: a
// deployment tool asks it after staging, before any run.
#pragma once

// 0 when the catalogue verifies, 1 when not.
int check_catalogue_command(const char* folder);
