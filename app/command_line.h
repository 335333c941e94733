// The options of the command line and the usage text.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "inventory/text_field.h"
#include "platform/platform.h"

struct command_options {
    std::int32_t silent;
    std::int32_t verbose;
    std::int32_t discover;
    std::int32_t upgrade;
    std::int32_t all;
    std::int32_t help;
    std::int32_t syntax_error;
    // "--version" or "-V", "--help" or "-h": what every other command-line
    // tool answers; neither is a run, nor touches the setup log.
    std::int32_t show_version;
    std::int32_t show_help;
    // "--list" or "-l": the maker's drives as a scan finds them, and what
    // upgrade all would do; "--history": the runs this host remembers;
    // "--json" with either: the same as JSON. Neither is a run of a mode.
    std::int32_t show_list;
    std::int32_t show_history;
    std::int32_t as_json;
    text_field<512> xml_path;  // the argument after the last /d or /u
    // One line per argument that broke the grammar, saying which and why
    // ("/x is not an option"), told on standard error before the usage text.
    std::vector<std::string> syntax_problems;
    // "--check-catalogue <folder>": the catalogue of that firmware folder is
    // checked against the host's trusted keys; no run, no drive, no log.
    std::int32_t check_catalogue;
    text_field<512> check_folder;
};

constexpr int max_command_arguments = 8;  // program name included

// Fetches the process's own command line and fills the record. Always 0.
int parse_command_line(command_options& options);

// The option scan over arguments already split and converted (at most 8).
void scan_arguments(const std::vector<narrow_argument>& arguments, command_options& options);

// Each of the options' syntax problems on standard error, "kvtapefw: " first.
void print_syntax_problems(const command_options& options);

// Writes the usage text to the setup log, then to standard output.
void print_usage();

// The usage text alone on standard output, with a pointer to the manual
// page ("--help").
void print_help();

// "kvtapefw <version>" on standard output ("--version").
void print_version();
