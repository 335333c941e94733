// kvtapefw: firmware update for the maker's SCSI tape drives.
#include <cstdio>
#include <string>

#include "app/command_line.h"
#include "app/run_driver.h"
#include "platform/platform.h"
#include "sim/simulated_bus.h"

int main(int argc, char** argv) {
    remember_process_arguments(argc, argv);

    // The command line comes first: asking for help, or mistyping an
    // option, must work whatever the environment holds.
    command_options options{};
    parse_command_line(options);
    if (options.syntax_error == 1) {
        print_usage();
        return 0;
    }

    if (options.help != 1) {
        std::string bus_path, setup_error;
        const transport_setup setup = install_transport_from_environment(bus_path, setup_error);
        if (setup != transport_setup::ready) {
            std::fprintf(stderr, "%s\n", setup_error.c_str());
            // A trace asked for and not taken would leave a failed rollout
            // without its record: refused like a rejected command line.
            return setup == transport_setup::trace_refused ? -1 : 0;
        }
        // A stray variable on a host with real drives must never pass unnoticed.
        if (!bus_path.empty()) {
            std::fprintf(stderr, "kvtapefw: simulated bus %s: no real drive is touched\n", bus_path.c_str());
        }
    }

    const int code = run_driver(options);
    // Help and rejected option combinations (-1) have no result text.
    if (const char* text = result_text(code)) std::printf("Result : %s\n", text);
    return code;
}
