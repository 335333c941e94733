#include "platform/system_log.h"

#include <syslog.h>

void system_log(system_log_level level, const std::string& line) {
    // Opened on first use and left to the process's end; with no log daemon
    // syslog() drops the line without a word.
    static bool opened = false;
    if (!opened) {
        openlog("kvtapefw", LOG_PID, LOG_DAEMON);
        opened = true;
    }
    syslog(level == system_log_level::warning ? LOG_WARNING : LOG_NOTICE, "%s", line.c_str());
}
