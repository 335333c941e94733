#include "sim/sim_trace.h"

#include <cstdarg>

bool sim_trace::open(const std::string& path) {
    if (path.empty()) return true;
    file_ = open_file(path.c_str(), "ab");
    return file_ != nullptr;
}

void sim_trace::line(const char* format, ...) {
    if (!file_) return;
    std::va_list args;
    va_start(args, format);
    std::vfprintf(file_.get(), format, args);
    va_end(args);
    std::fputc('\n', file_.get());
    // Flushed per line: a test reads the file while the bus is still installed.
    std::fflush(file_.get());
}
