#include "platform/interrupt.h"

#include <windows.h>

namespace {

volatile LONG interrupt_arrived = 0;
// Signalled while no download runs. Windows ends the process once a handler
// of a console close returns, so that handler waits here until the download
// has ended; Windows grants it only a few seconds, which is all that can be
// done for a closed console window.
HANDLE download_done = nullptr;

BOOL WINAPI note_interrupt(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
            InterlockedExchange(&interrupt_arrived, 1);
            return TRUE;
        case CTRL_CLOSE_EVENT:
            InterlockedExchange(&interrupt_arrived, 1);
            if (download_done) WaitForSingleObject(download_done, INFINITE);
            return TRUE;
        default:
            return FALSE;
    }
}

}  // namespace

interrupts_held::interrupts_held() {
    if (!download_done) download_done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (download_done) ResetEvent(download_done);
    SetConsoleCtrlHandler(note_interrupt, TRUE);
}

interrupts_held::~interrupts_held() {
    SetConsoleCtrlHandler(note_interrupt, FALSE);
    if (download_done) SetEvent(download_done);
}

bool interrupt_was_held() { return InterlockedCompareExchange(&interrupt_arrived, 0, 0) != 0; }
