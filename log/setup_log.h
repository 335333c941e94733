// Every line the program writes for the record: the setup log on the system
// drive, and the console lines that belong with it. Each line is formatted
// into one 512-byte message buffer first, so a long product ID or file name
// is cut there and never overruns anything; the log file itself is opened,
// written and closed per line, so another process appending to it can only
// fall between two lines.
#pragma once

#include "scsi/scsi_device.h"

// "%systemdrive%\vtxsystem\log\vtxsetup.log": expanded anew for every line.
constexpr const char setup_log_path[] = "%systemdrive%\\vtxsystem\\log\\vtxsetup.log";

// Appends the text verbatim (a percent sign in it is never a format). When
// the log cannot be opened, says so on the console and carries on.
void append_setup_log(const char* text);

// Formats one line and appends it to the setup log only.
void log_line(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Formats one line, appends it to the setup log, then prints it: the lines a
// person at the console and the log's later reader both need.
void report(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Formats one line, appends it to the setup log, then prints it on standard
// error: an input the run refuses, told where a deployment tool that keeps
// only the error stream still sees it.
void report_error(const char* format, ...) __attribute__((format(printf, 1, 2)));

// One more setup-log line after a SCSI command that failed, saying how it
// failed in the drive's own terms ("SCSI WRITE BUFFER on device 3: CHECK
// CONDITION, ..."). The console is left as it was: these lines are for
// whoever reads the log of a failed rollout.
void log_scsi_failure(const char* command, const scsi_device& device);

void print_separator();

// 1 when nothing existed under the path (creation was attempted), -1 when
// something by that name already existed. Tells the console either way.
int make_directory(const char* path);
