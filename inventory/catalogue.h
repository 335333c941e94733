// The firmware catalogue "fwimage/firmware.cfg": which image, of which
// version, belongs to drives of which hardware configuration code.
#pragma once

#include <cstdint>
#include <optional>

#include "inventory/drive_table.h"

constexpr const char catalogue_path[] = "fwimage/firmware.cfg";
constexpr const char image_folder[] = "fwimage";

// Zeroes the table and fills it from the catalogue file. Returns -1 when the
// file cannot be opened, else the number of entries stored. `digest`, when
// given, gets the SHA-256 of the file's bytes as read (left empty when the
// file could not be opened or read), so that a report can tell which
// catalogue a plan was made from.
int read_catalogue(drive_table& table, std::optional<sha256_digest>* digest = nullptr);

// The first slot (0 to 22, in use or not) whose drive_id equals the given
// one, or nullptr.
const drive_record* find_by_drive_id(std::uint32_t drive_id, const drive_table& table);
