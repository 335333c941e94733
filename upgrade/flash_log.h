// The setup log lines of flashing. Each is formatted into one message line of
// 512 bytes before it is appended, so a long product ID or file name is cut
// there and never overruns anything.
#pragma once

void log_flash_line(const char* format, ...) __attribute__((format(printf, 1, 2)));
