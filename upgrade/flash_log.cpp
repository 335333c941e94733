#include "upgrade/flash_log.h"

#include <cstdarg>

#include "app/setup_log.h"
#include "inventory/text_field.h"

void log_flash_line(const char* format, ...) {
    text_field<512> message{};
    std::va_list args;
    va_start(args, format);
    vformat_text(message.data(), message.size(), format, args);
    va_end(args);
    append_setup_log(message.data());
}
