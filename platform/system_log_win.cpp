#include "platform/system_log.h"

void system_log(system_log_level, const std::string&) {}
