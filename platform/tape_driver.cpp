#include "platform/tape_driver.h"

#include "platform/platform.h"

const char* tape_driver_state() {
#if defined(__linux__)
    // The kernel lists every loaded or built-in module with parameters here,
    // and st has parameters.
    return path_exists("/sys/module/st") ? "the st driver is loaded" : "the st driver is not loaded";
#else
    return "";
#endif
}
