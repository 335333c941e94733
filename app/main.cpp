// kvtapefw: firmware update for the maker's SCSI tape drives.
#include <cstdio>
#include <string>

#include "app/check_catalogue.h"
#include "app/command_line.h"
#include "app/run_driver.h"
#include "app/run_report.h"
#include "app/system_log_lines.h"
#include "platform/interrupt.h"
#include "platform/platform.h"
#include "sim/simulated_bus.h"

namespace {

// KVFW_REPORT names the run report's file; unset or empty, none is written.
// Help and rejected option combinations have no mode and write none, and
// leave nothing in the system log either.
void finish_report(report_target& report, run_frame& frame, const run_facts& facts, int code) {
    frame.finished = true;
    frame.exit_code = process_exit_status(code);
    if (!facts.mode) return;
    if (!report.path.empty()) write_run_report(report, frame, facts);
    system_log_end(frame, facts);
}

}  // namespace

int main(int argc, char** argv) {
    // Before anything else: from here on a request to stop ends the run in
    // order, and a console that went away never ends it.
    watch_stop_requests();
    remember_process_arguments(argc, argv);
    run_frame frame{platform_now_seconds(), false, false, 0, nullptr};
    run_facts facts;
    report_target report{environment_variable("KVFW_REPORT"), true, false};

    // The command line comes first: asking for help, or mistyping an
    // option, must work whatever the environment holds.
    command_options options{};
    parse_command_line(options);
    // Asked what every command-line tool is asked: answered, and no run.
    if (options.show_version == 1) {
        print_version();
        return 0;
    }
    if (options.show_help == 1) {
        print_help();
        return 0;
    }
    if (options.syntax_error == 1) {
        print_usage();
        return 0;
    }
    if (options.check_catalogue == 1) return check_catalogue_command(options.check_folder.data());

    if (options.help != 1) {
        std::string bus_path, setup_error;
        const transport_setup setup = install_transport_from_environment(bus_path, setup_error);
        frame.simulated_bus = !bus_path.empty();
        if (setup != transport_setup::ready) {
            std::fprintf(stderr, "%s\n", setup_error.c_str());
            // A trace asked for and not taken would leave a failed rollout
            // without its record: refused like a rejected command line.
            const int code = setup == transport_setup::trace_refused ? -1 : 0;
            note_run_mode(options, facts);
            finish_report(report, frame, facts, code);
            return code;
        }
        // A stray variable on a host with real drives must never pass unnoticed.
        if (!bus_path.empty()) {
            std::fprintf(stderr, "kvtapefw: simulated bus %s: no real drive is touched\n", bus_path.c_str());
        }
        // The keys a catalogue must be signed by are read before any drive is
        // touched; a broken key file or a named folder that cannot be read
        // refuses the run like a rejected command line, for either would
        // lower the guard in silence. Help and rejected combinations read none.
        note_run_mode(options, facts);
        if (facts.mode) system_log_start(facts, bus_path);
        if (facts.mode && !take_trusted_keys(facts)) {
            finish_report(report, frame, facts, -1);
            return -1;
        }
        // The record is on disk before any drive is opened, and kept current
        // as drives are sent data; a report that cannot be written refuses
        // the run like a refused trace.
        if (!report.path.empty() && facts.mode) {
            if (!start_run_report(report, frame, facts)) {
                // The system log's "run started" gets its end; the report's
                // failure was said once already.
                finish_report(report, frame, facts, -1);
                return -1;
            }
            facts.checkpoint = [&report, &frame, &facts] { update_run_report(report, frame, facts); };
        }
    }

    const int code = run_driver(options, facts);
    // Help and rejected option combinations (-1) have no result text.
    frame.result = result_text(code);
    if (frame.result) std::printf("Result : %s\n", frame.result);
    // The console's last line is out before the report is written: a tool
    // that waits for the report finds the run over.
    std::fflush(stdout);
    finish_report(report, frame, facts, code);
    return code;
}
