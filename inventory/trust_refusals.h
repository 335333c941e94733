// Every line with which the program refuses to trust a key, a catalogue or an
// image, worded in one place: the console, the setup log and whatever else
// reports a refusal take them from here, so that they never drift apart.
// Each is one line without its line end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// Trusted keys: the run ends before any drive is touched.
std::string keys_variable_empty_line();
std::string no_trusted_key_line(const std::string& folder, const std::vector<std::string>& not_keys);
// `path` is the key, or the folder above it, that someone else could change;
// `target` what it links to, when it is a link.
std::string key_not_trusted_line(const std::string& path, const std::string& target, const char* fault);
// Said in the setup log only: an entry of the key folder that is no key file.
std::string not_a_key_file_line(const std::string& folder, const std::string& name);

// A catalogue read without keys, though it came with a signature.
std::string signature_unused_line(const char* catalogue);

// Catalogue refusals: nothing is sent to any drive.
std::string not_signed_line(const char* catalogue, const std::string& why, std::size_t keys,
                            const std::string& folder);
// The reasons (as the run report gives them) and the lines that carry them.
std::string older_reason(std::optional<std::uint32_t> serial, std::uint32_t accepted);
std::string expired_reason(const std::string& day);
std::string older_catalogue_line(const char* catalogue, std::optional<std::uint32_t> serial,
                                 std::uint32_t accepted);
std::string expired_catalogue_line(const char* catalogue, const std::string& day);
// A verified catalogue whose header does not read, or that cannot be held
// against (or recorded in) the host's record of accepted catalogues.
std::string not_accepted_line(const char* catalogue, const std::string& why);

// An image that is not sent.
std::string image_outside_line(const char* image_path);
