#include "platform/interrupt.h"

#include <windows.h>

#include <array>
#include <csignal>

namespace {

volatile LONG stop_arrived = 0;
volatile LONG interrupt_arrived = 0;
volatile LONG downloading = 0;
// Signalled when a request to stop arrives, so that a sleep ends at once.
HANDLE stop_event = nullptr;
// Signalled while no download runs. Windows ends the process once a handler
// of a console close returns, so that handler waits here until the download
// has ended; Windows grants it only a few seconds, which is all that can be
// done for a closed console window.
HANDLE download_done = nullptr;

void note_stop() {
    InterlockedExchange(&stop_arrived, 1);
    if (InterlockedCompareExchange(&downloading, 0, 0) != 0) InterlockedExchange(&interrupt_arrived, 1);
    if (stop_event) SetEvent(stop_event);
}

BOOL WINAPI note_interrupt(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
            note_stop();
            return TRUE;
        case CTRL_CLOSE_EVENT:
            note_stop();
            if (download_done) WaitForSingleObject(download_done, INFINITE);
            return TRUE;
        default:
            return FALSE;
    }
}

}  // namespace

void watch_stop_requests() {
    if (!stop_event) stop_event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!download_done) download_done = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    SetConsoleCtrlHandler(note_interrupt, TRUE);
}

bool stop_requested() { return InterlockedCompareExchange(&stop_arrived, 0, 0) != 0; }

bool sleep_unless_stopped(std::uint32_t milliseconds) {
    if (stop_requested()) return false;
    if (!stop_event) {
        Sleep(milliseconds);
    } else {
        WaitForSingleObject(stop_event, milliseconds);
    }
    return !stop_requested();
}

// A console event is delivered on a thread of its own: the download goes on
// while the handler notes the request, and the run stops after it.
interrupts_held::interrupts_held() {
    if (!download_done) download_done = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    if (download_done) ResetEvent(download_done);
    InterlockedExchange(&downloading, 1);
    // Without the watch (a unit test), the handler is there for the download.
    SetConsoleCtrlHandler(note_interrupt, TRUE);
}

interrupts_held::~interrupts_held() {
    InterlockedExchange(&downloading, 0);
    if (download_done) SetEvent(download_done);
}

bool interrupt_was_held() { return InterlockedCompareExchange(&interrupt_arrived, 0, 0) != 0; }

void forget_stop_requests() {
    InterlockedExchange(&stop_arrived, 0);
    InterlockedExchange(&interrupt_arrived, 0);
    if (stop_event) ResetEvent(stop_event);
}

int signal_by_name(std::string_view name) {
    if (name == "INT") return SIGINT;
    if (name == "TERM") return SIGTERM;
    if (name == "BREAK") return SIGBREAK;
    return 0;
}

void send_signal_to_self(int signal_number) {
    if (signal_number == SIGINT || signal_number == SIGTERM || signal_number == SIGBREAK) {
        note_interrupt(signal_number == SIGINT ? CTRL_C_EVENT : CTRL_BREAK_EVENT);
    }
}
