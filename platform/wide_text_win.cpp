#include "platform/wide_text_win.h"

#include <windows.h>

int wide_to_narrow(const wchar_t* source, char* destination, int capacity) {
    return WideCharToMultiByte(CP_ACP, 0, source, -1, destination, capacity, nullptr, nullptr);
}

std::wstring narrow_to_wide(const std::string& text) {
    const int needed = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, nullptr, 0);
    if (needed <= 0) return {};
    std::wstring wide(static_cast<std::size_t>(needed), L'\0');
    if (MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, wide.data(), needed) != needed) return {};
    wide.resize(static_cast<std::size_t>(needed) - 1);
    return wide;
}
