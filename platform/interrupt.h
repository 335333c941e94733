// A firmware download that is cut off half way can leave a drive without
// working firmware, and a run that dies between two drives leaves no record
// of what it sent. So for the whole run the requests to stop that a person or
// a service manager sends (Ctrl-C, SIGTERM and SIGHUP on POSIX; Ctrl-C,
// Ctrl-Break and closing the console on Windows) are caught and noted: the
// run stops in order at the next point where it can. While a download runs
// they are held back altogether, and so are the other signals whose default
// action would end the process: those take effect once the download has
// ended and the run report names the drive. A console or pipe that went
// away (SIGPIPE) never ends a run.
#pragma once

#include <cstdint>
#include <string_view>

// Installs the watch for the rest of the process. Called once, first thing.
// A request the caller chose to ignore (a run under nohup ignores SIGHUP)
// stays ignored.
void watch_stop_requests();

// True once a request to stop arrived, at any point of the run.
bool stop_requested();

// Sleeps `milliseconds`, or less when a request to stop arrives meanwhile
// (or had arrived before). Returns false when it was cut short.
bool sleep_unless_stopped(std::uint32_t milliseconds);

// Holds interrupts and the other process-ending signals for its lifetime;
// the dispositions in force before are put back afterwards. Not nested.
class interrupts_held {
public:
    interrupts_held();
    ~interrupts_held();
    interrupts_held(const interrupts_held&) = delete;
    interrupts_held& operator=(const interrupts_held&) = delete;
};

// True once a request to stop arrived while interrupts were held, for the
// rest of the process.
bool interrupt_was_held();

// Forgets the requests that arrived: for a program that runs more than one
// run in its process (the tests).
void forget_stop_requests();

// The number of a signal by its name without "SIG" ("TERM", "KILL"); 0 for a
// name this system does not know. The simulated bus uses these to send a
// rehearsed run a signal at an exact point.
int signal_by_name(std::string_view name);
// Sends this process the signal, as another process would. On Windows the
// stop requests ("INT", "TERM", "HUP") arrive as a console event would.
void send_signal_to_self(int signal_number);
