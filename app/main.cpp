// kvtapefw: firmware update for the maker's SCSI tape drives.
#include <cstdio>
#include <string>

#include "app/command_line.h"
#include "app/run_driver.h"
#include "platform/platform.h"
#include "sim/simulated_bus.h"

int main(int argc, char** argv) {
    remember_process_arguments(argc, argv);

    std::string bus_error;
    if (!install_simulated_bus_from_environment(bus_error)) {
        std::fprintf(stderr, "%s\n", bus_error.c_str());
        return 0;
    }

    command_options options{};
    parse_command_line(options);
    if (options.syntax_error == 1) {
        print_usage();
        return 0;
    }

    const int code = run_driver(options);
    // Help and rejected option combinations (-1) have no result text.
    if (const char* text = result_text(code)) std::printf("Result : %s\n", text);
    return code;
}
