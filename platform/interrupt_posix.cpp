#include "platform/interrupt.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <thread>

namespace {

// The requests to stop, and the other signals whose default action ends the
// process and that can be blocked: held too while a download runs.
constexpr std::array<int, 3> stop_signals = {SIGINT, SIGTERM, SIGHUP};
constexpr std::array<int, 8> other_ending_signals = {SIGQUIT, SIGUSR1, SIGUSR2,   SIGALRM,
                                                     SIGVTALRM, SIGPROF, SIGXCPU, SIGXFSZ};

// Set by the handler; read by the run between its steps.
volatile sig_atomic_t stop_arrived = 0;
// Set once a request was taken up at the end of a download.
bool interrupt_arrived = false;
// The handler writes a byte here, so that a sleep waiting on the other end
// wakes at once, whenever the request comes (no gap between a check of the
// flag and the start of the sleep).
std::array<int, 2> wake_pipe = {-1, -1};

void note_stop(int) {
    const int saved = errno;
    stop_arrived = 1;
    if (wake_pipe[1] >= 0) {
        const char byte = 1;
        [[maybe_unused]] const ssize_t written = ::write(wake_pipe[1], &byte, 1);
    }
    errno = saved;
}

bool ignored(int signal_number) {
    struct sigaction current {};
    return sigaction(signal_number, nullptr, &current) == 0 && current.sa_handler == SIG_IGN;
}

// The signals held during a download, less those the caller chose to ignore.
sigset_t signals_to_hold() {
    sigset_t set;
    sigemptyset(&set);
    for (const int signal_number : stop_signals) {
        if (!ignored(signal_number)) sigaddset(&set, signal_number);
    }
    for (const int signal_number : other_ending_signals) {
        if (!ignored(signal_number)) sigaddset(&set, signal_number);
    }
    return set;
}

// The signals held during the download, and the mask in force before it,
// put back after it. The program has one thread, and downloads are not
// nested.
sigset_t held_set;
sigset_t saved_mask;

}  // namespace

void watch_stop_requests() {
    // A write to a console or pipe whose reader went away fails with EPIPE
    // instead; the setup log and the report still get every line.
    ::signal(SIGPIPE, SIG_IGN);
    if (wake_pipe[0] < 0 && ::pipe(wake_pipe.data()) == 0) {
        for (const int fd : wake_pipe) {
            ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
            ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        }
    }
    for (const int signal_number : stop_signals) {
        if (ignored(signal_number)) continue;
        struct sigaction action {};
        action.sa_handler = note_stop;
        sigemptyset(&action.sa_mask);
        // No SA_RESTART: a sleep or a wait ends when the request comes.
        sigaction(signal_number, &action, nullptr);
    }
}

bool stop_requested() { return stop_arrived != 0 || interrupt_arrived; }

bool sleep_unless_stopped(std::uint32_t milliseconds) {
    using clock = std::chrono::steady_clock;
    const clock::time_point end = clock::now() + std::chrono::milliseconds(milliseconds);
    if (wake_pipe[0] < 0) {
        // No watch installed (a unit test): a plain sleep.
        std::this_thread::sleep_until(end);
        return !stop_requested();
    }
    while (!stop_requested()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - clock::now()).count();
        if (left <= 0) return true;
        struct pollfd wake {wake_pipe[0], POLLIN, 0};
        if (::poll(&wake, 1, static_cast<int>(left)) > 0) {
            char drained[16];
            while (::read(wake_pipe[0], drained, sizeof drained) > 0) {
            }
        }
    }
    return false;
}

// The signals are blocked rather than caught: a blocked signal interrupts no
// system call, so no command to a drive is broken off or started again, and
// it waits, pending, until the download has ended.
interrupts_held::interrupts_held() {
    held_set = signals_to_hold();
    pthread_sigmask(SIG_BLOCK, &held_set, &saved_mask);
}

interrupts_held::~interrupts_held() {
    sigset_t pending;
    sigemptyset(&pending);
    sigpending(&pending);
    for (const int signal_number : stop_signals) {
        if (!sigismember(&held_set, signal_number) || !sigismember(&pending, signal_number)) continue;
        // Taken up here, so that it does not end the program when it is
        // unblocked; the run stops in order instead.
        sigset_t one;
        sigemptyset(&one);
        sigaddset(&one, signal_number);
        int taken = 0;
        sigwait(&one, &taken);
        interrupt_arrived = true;
    }
    // Any other signal still pending takes its default effect here, now
    // that the download has ended and the caller has recorded it.
    pthread_sigmask(SIG_SETMASK, &saved_mask, nullptr);
}

bool interrupt_was_held() { return interrupt_arrived; }

void forget_stop_requests() {
    stop_arrived = 0;
    interrupt_arrived = false;
}

int signal_by_name(std::string_view name) {
    struct named {
        std::string_view name;
        int number;
    };
    static constexpr std::array<named, 13> names = {{{"INT", SIGINT},
                                                     {"TERM", SIGTERM},
                                                     {"HUP", SIGHUP},
                                                     {"QUIT", SIGQUIT},
                                                     {"USR1", SIGUSR1},
                                                     {"USR2", SIGUSR2},
                                                     {"ALRM", SIGALRM},
                                                     {"VTALRM", SIGVTALRM},
                                                     {"PROF", SIGPROF},
                                                     {"XCPU", SIGXCPU},
                                                     {"XFSZ", SIGXFSZ},
                                                     {"PIPE", SIGPIPE},
                                                     {"KILL", SIGKILL}}};
    for (const named& entry : names) {
        if (entry.name == name) return entry.number;
    }
    return 0;
}

// To the process, not the thread: a signal blocked in this thread stays
// pending, as one from outside would.
void send_signal_to_self(int signal_number) { ::kill(::getpid(), signal_number); }
