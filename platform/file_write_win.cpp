#include "platform/file_write.h"

#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "platform/platform.h"
#include "platform/wide_text_win.h"

path_kind kind_of_path(const std::string& path) {
    const std::wstring wide = narrow_to_wide(path);
    const DWORD attributes = wide.empty() ? INVALID_FILE_ATTRIBUTES : GetFileAttributesW(wide.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        // Devices such as CON or NUL have no attributes but do open.
        return path_kind::missing;
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return path_kind::folder;
    return (attributes & FILE_ATTRIBUTE_DEVICE) == 0 ? path_kind::regular : path_kind::other;
}

// Symbolic links on Windows need a privilege few accounts hold; MoveFileEx
// replaces the link itself, which is the rare case left as it is.
write_target resolve_write_target(const std::string& path) {
    return {path, kind_of_path(path) == path_kind::other, {}};
}

std::FILE* create_new_file(const std::string& prefix, const std::string& like, std::string& created, std::string& why) {
    (void)like;
    const unsigned long process = GetCurrentProcessId();
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        const std::string name = prefix + "." + std::to_string(process) + "-" + std::to_string(attempt);
        // CREATE_NEW fails on any existing name, link or file. The wide call:
        // the narrow one stops at 260 characters.
        const std::wstring wide = narrow_to_wide(name);
        if (wide.empty()) {
            why = "the file name cannot be converted";
            return nullptr;
        }
        HANDLE handle = CreateFileW(wide.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            if (GetLastError() == ERROR_FILE_EXISTS) continue;
            why = last_error_text();
            return nullptr;
        }
        const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_WRONLY | _O_BINARY);
        if (fd < 0) {
            CloseHandle(handle);
            DeleteFileW(wide.c_str());
            why = "the file could not be opened";
            return nullptr;
        }
        std::FILE* file = _fdopen(fd, "wb");
        if (file == nullptr) {
            _close(fd);
            DeleteFileW(wide.c_str());
            why = "the file could not be opened";
            return nullptr;
        }
        created = name;
        return file;
    }
    why = "no unused name for a new file";
    return nullptr;
}

bool flush_to_disk(std::FILE* file) { return std::fflush(file) == 0 && _commit(_fileno(file)) == 0; }

bool flush_folder_to_disk(const std::string&) { return false; }

std::FILE* open_in_place(const std::string& path, std::string& why) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) why = last_error_text();
    return file;
}

// The paths written in place here are devices such as CON or NUL, which
// take what they are given.
in_place_write write_in_place_within(std::FILE* file, std::string_view content, std::uint32_t, std::string& why) {
    const bool written = std::fwrite(content.data(), 1, content.size(), file) == content.size() &&
                         std::fflush(file) == 0;
    if (!written) why = last_error_text();
    const bool closed = std::fclose(file) == 0;
    if (written && !closed) why = last_error_text();
    return written && closed ? in_place_write::written : in_place_write::failed;
}

std::FILE* open_append_without_waiting(const std::string& path, std::string& why) {
    std::FILE* file = std::fopen(path.c_str(), "a");
    if (file == nullptr) why = last_error_text();
    return file;
}

std::string last_error_text() {
    const DWORD code = GetLastError();
    char text[256] = "";
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                                        text, sizeof text, nullptr);
    std::string words(text, length);
    while (!words.empty() && (words.back() == '\n' || words.back() == '\r' || words.back() == ' ')) words.pop_back();
    if (words.empty()) words = "error " + std::to_string(code);
    return words;
}
