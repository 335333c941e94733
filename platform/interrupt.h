// A firmware download that is cut off half way can leave a drive without
// working firmware. While one runs, the requests to stop that a person or a
// service manager sends (Ctrl-C, SIGTERM and SIGHUP on POSIX; Ctrl-C,
// Ctrl-Break and closing the console on Windows) are held: kept back, and
// acted on once the download has ended. Outside a download they end the
// program as they always did.
#pragma once

// Holds interrupts for its lifetime; the dispositions in force before are
// put back afterwards. Not nested.
class interrupts_held {
public:
    interrupts_held();
    ~interrupts_held();
    interrupts_held(const interrupts_held&) = delete;
    interrupts_held& operator=(const interrupts_held&) = delete;
};

// True once an interrupt arrived while interrupts were held, for the rest of
// the process.
bool interrupt_was_held();
