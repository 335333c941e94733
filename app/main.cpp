// kvtapefw: firmware update for the maker's SCSI tape drives.
#include <cstdio>
#include <string>

#include "app/check_catalogue.h"
#include "app/command_line.h"
#include "app/drive_list.h"
#include "app/run_files.h"
#include "app/run_history.h"
#include "app/run_driver.h"
#include "app/run_report.h"
#include "app/system_log_lines.h"
#include "platform/clock.h"
#include "platform/interrupt.h"
#include "platform/platform.h"
#include "platform/run_lock.h"
#include "platform/state_folder.h"
#include "sim/simulated_bus.h"

namespace {

// KVFW_REPORT names the run report's file; unset or empty, none is written.
// Help and rejected option combinations have no mode and write none, and
// leave nothing in the system log either.
// A run that reached the drives is remembered in the host's history (its
// state folder: that of the simulated bus when there is one).
void finish_report(report_target& report, run_frame& frame, const run_facts& facts, int code,
                   const std::string& bus_path) {
    frame.finished = true;
    frame.exit_code = process_exit_status(code);
    if (!facts.mode) return;
    if (!report.path.empty()) write_run_report(report, frame, facts);
    append_run_history(run_state_folder(bus_path), frame, facts);
    system_log_end(frame, facts);
}

// One run at a time per host: taken before any drive is touched (and before
// the report, which may be the other run's), held until the process ends.
// A second run waits for it a while, then says whose it is and gives up.
bool hold_run_lock(host_run_lock& lock, const std::string& bus_path) {
    const std::string name = run_lock_name(bus_path);
    const run_lock_state state = lock.take(name, run_lock_wait_ms, active_clock());
    if (state == run_lock_state::held) return true;
    std::fprintf(stderr, "%s\n", run_lock_refusal(lock, state, name).c_str());
    return false;
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
    host_run_lock run_lock;

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
        // Which argument was not understood comes first, on its own stream:
        // the usage text and the exit code stay what callers know.
        print_syntax_problems(options);
        print_usage();
        return 0;
    }
    // The history is only read: no drive, no log, no lock.
    if (options.show_history == 1) {
        return print_run_history(run_state_folder(environment_variable("KVFW_SIM_BUS")), options.as_json == 1);
    }
    // A catalogue is judged as a run would judge it; nothing is recorded.
    if (options.check_catalogue == 1) return check_catalogue_command(options.check_folder.data());

    std::string bus_path;
    if (options.help != 1) {
        std::string setup_error;
        const transport_setup setup = install_transport_from_environment(bus_path, setup_error);
        // The list is no run: a transport it cannot have is said, not logged.
        if (setup != transport_setup::ready && options.show_list == 1) {
            std::fprintf(stderr, "%s\n", setup_error.c_str());
            return 1;
        }
        frame.simulated_bus = facts.simulated_bus = !bus_path.empty();
        if (setup != transport_setup::ready) {
            // A trace asked for and not taken would leave a failed rollout
            // without its record: refused like a rejected command line.
            const int code = setup == transport_setup::trace_refused ? -1 : 0;
            note_run_mode(options, facts);
            refuse_run(facts, setup_error);
            finish_report(report, frame, facts, code, bus_path);
            return code;
        }
        // A stray variable on a host with real drives must never pass unnoticed.
        if (!bus_path.empty()) {
            std::fprintf(stderr, "kvtapefw: simulated bus %s: no real drive is touched\n", bus_path.c_str());
        }
        // The list scans the bus too: it waits for a run as a run does.
        note_run_mode(options, facts);
        if ((facts.mode || options.show_list == 1) && !hold_run_lock(run_lock, bus_path)) return -1;
        // Only the scan's commands, nothing in the setup log or the report.
        if (options.show_list == 1) return print_drive_list(options.as_json == 1);
        // The keys a catalogue must be signed by are read before any drive is
        // touched; a broken key file or a named folder that cannot be read
        // refuses the run like a rejected command line, for either would
        // lower the guard in silence. Help and rejected combinations read none.
        if (facts.mode) system_log_start(facts, bus_path);
        if (facts.mode && !take_trusted_keys(facts)) {
            finish_report(report, frame, facts, -1, bus_path);
            return -1;
        }
        // The record is on disk before any drive is opened, and kept current
        // as drives are sent data; a report that cannot be written refuses
        // the run like a refused trace.
        if (!report.path.empty() && facts.mode) {
            // A report written over the document, the catalogue, an image or
            // the log would destroy what the run is about to read or keep.
            const std::string clash = report_clash(report.path, facts, bus_path);
            if (!clash.empty()) {
                refuse_run(facts, "the run report " + report.path + " is also the run's " + clash);
                report.path.clear();  // never written: it is that file
                finish_report(report, frame, facts, -1, bus_path);
                return -1;
            }
            if (!start_run_report(report, frame, facts)) {
                // The system log's "run started" gets its end; the report's
                // failure was said once already.
                finish_report(report, frame, facts, -1, bus_path);
                return -1;
            }
            facts.checkpoint = [&report, &frame, &facts] { return update_run_report(report, frame, facts); };
        }
    }

    const int code = run_driver(options, facts);
    // Help and rejected option combinations (-1) have no result text.
    frame.result = result_text(code);
    if (frame.result) std::printf("Result : %s\n", frame.result);
    // The console's last line is out before the report is written: a tool
    // that waits for the report finds the run over.
    std::fflush(stdout);
    finish_report(report, frame, facts, code, bus_path);
    return code;
}
