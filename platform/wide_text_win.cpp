#include "platform/wide_text_win.h"

#include <windows.h>

int wide_to_narrow(const wchar_t* source, char* destination, int capacity) {
    return WideCharToMultiByte(CP_ACP, 0, source, -1, destination, capacity, nullptr, nullptr);
}
