// The setup log on the system drive, the console separator line, and the one
// directory step the discovery document needs.
#pragma once

// "%systemdrive%\vtxsystem\log\vtxsetup.log": expanded anew for every line.
constexpr const char setup_log_path[] = "%systemdrive%\\vtxsystem\\log\\vtxsetup.log";

// Appends the text verbatim (one open, one write, one close). When the log
// cannot be opened, says so on the console and carries on.
void append_setup_log(const char* text);

// A line for both: into the setup log first, then onto the console.
void report_line(const char* text);

void print_separator();

// 1 when nothing existed under the path (creation was attempted), -1 when
// something by that name already existed. Tells the console either way.
int make_directory(const char* path);
