// The data a simulated drive returns, built from its bus file entry: the
// standard INQUIRY data, the maker's vendor pages, the REPORT DENSITY SUPPORT
// answer and fixed-format sense data.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/bus_file.h"

using sim_bytes = std::vector<std::uint8_t>;

constexpr std::size_t sim_page_length = 96;

// Byte 0 qualifier and type, vendor at 8-15, product at 16-31, bytes 36-55
// spaces with the inquiry number from byte 47.
sim_bytes build_standard_data(const sim_drive_config& drive);
// Unit serial number page: byte 1 80h, byte 3 the text's length, the text
// from byte 4.
sim_bytes build_page_80(const std::string& serial);
// "FW = <firmware>" in the firmware field of the layout; the other families
// also carry "HW_CONF = <hw_config>" at 73-93 of this page.
sim_bytes build_page_c0(const sim_drive_config& drive, const std::string& firmware);
// "HW_CONF = <hw_config>" at 73-95 (Ultrium drives).
sim_bytes build_page_c1(const sim_drive_config& drive);
// A 4-byte header and one 52-byte density descriptor whose assigning
// organization (descriptor bytes 16-23) is "LTO-CVE" or the maker's "KV".
sim_bytes build_density_support(bool lto);
// 18 bytes of fixed-format sense data.
sim_bytes build_fixed_sense(std::uint8_t key, std::uint8_t asc, std::uint8_t ascq);
