// The trace of a simulated run: one line per transport event (open, exec,
// close, sleep), appended to the file named by KVFW_SIM_TRACE, so a test or an
// administrator can see exactly what the program sent.
#pragma once

#include <string>

#include "platform/file_handle.h"

class sim_trace {
public:
    // An empty path traces nothing. False when the file cannot be opened.
    bool open(const std::string& path);
    void line(const char* format, ...) __attribute__((format(printf, 2, 3)));

private:
    file_handle file_;
};
