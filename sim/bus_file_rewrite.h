// The bus file is the simulated drives' flash memory: a drive that takes up
// an image writes its new firmware text back, so the next run sees it.
#pragma once

#include <cstddef>
#include <string>

#include <nlohmann/json.hpp>

// Sets `firmware` of the drive at list position `drive_index` in the document
// and replaces the file with it in one step (a new file beside it, then a
// rename), so a reader never sees a half-written bus. False when the file
// could not be written; the old file then stays as it was.
bool save_drive_firmware(const std::string& path, nlohmann::ordered_json& document, std::size_t drive_index,
                         const std::string& firmware);

// A drive that restarted after taking up an image: records the address it
// came back at and its serial number (so that a later run finds the same
// drive there), and drops its `address_after_reboot`. Written as above.
bool save_drive_restart(const std::string& path, nlohmann::ordered_json& document, std::size_t drive_index,
                        int address, const std::string& serial);
