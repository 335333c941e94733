// The system's own log, where administrators and their central log
// collection look (syslog and the journal on Linux). A run leaves a few
// lines there beside the setup log. Reaching it is best effort: a host
// without a log daemon runs as well, and silently.
#pragma once

#include <string>

enum class system_log_level { notice, warning };

// One line, tagged "kvtapefw" with the process id, facility daemon. Nothing
// on Windows, whose event log the program does not write.
void system_log(system_log_level level, const std::string& line);
