#include "platform/file_read.h"

#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <vector>

#include "platform/wide_text_win.h"

namespace {

std::string narrow_of(const std::wstring& wide) {
    const int needed = WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
    if (needed <= 0) return {};
    std::string text(static_cast<std::size_t>(needed), '\0');
    if (WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, text.data(), needed, nullptr, nullptr) != needed) return {};
    text.resize(static_cast<std::size_t>(needed - 1));
    return text;
}

// The final path of an open handle, as "\\?\C:\..." (links, junctions and
// 8.3 names resolved).
std::string final_path(HANDLE handle) {
    std::vector<wchar_t> name(MAX_PATH + 1);
    DWORD length = GetFinalPathNameByHandleW(handle, name.data(), static_cast<DWORD>(name.size()), 0);
    if (length >= name.size()) {
        name.resize(length + 1);
        length = GetFinalPathNameByHandleW(handle, name.data(), static_cast<DWORD>(name.size()), 0);
    }
    if (length == 0 || length >= name.size()) return {};
    return narrow_of(std::wstring(name.data(), length));
}

}  // namespace

std::FILE* open_regular_file_for_reading(const std::string& path, std::string& why) {
    // A device name ("CON", "COM1") or a pipe opens at once; it is refused
    // below, before anything waits on it.
    HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        const DWORD attributes = GetFileAttributesA(path.c_str());
        // A folder does not open as a file at all.
        why = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0
                  ? "it is a folder, not a regular file"
                  : "it cannot be opened (error " + std::to_string(error) + ")";
        return nullptr;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileType(handle) != FILE_TYPE_DISK || !GetFileInformationByHandle(handle, &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        CloseHandle(handle);
        why = "it is not a regular file";
        return nullptr;
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_RDONLY | _O_BINARY);
    if (fd < 0) {
        CloseHandle(handle);
        why = "it cannot be opened";
        return nullptr;
    }
    std::FILE* file = _fdopen(fd, "rb");
    if (file == nullptr) {
        _close(fd);
        why = "it cannot be opened";
    }
    return file;
}

std::string real_path_of_open_file(std::FILE* file) {
    const intptr_t handle = _get_osfhandle(_fileno(file));
    if (handle == -1) return {};
    return final_path(reinterpret_cast<HANDLE>(handle));
}

std::string real_path(const std::string& path) {
    // FILE_FLAG_BACKUP_SEMANTICS opens a folder too.
    HANDLE handle = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return {};
    const std::string resolved = final_path(handle);
    CloseHandle(handle);
    return resolved;
}

bool real_path_within(const std::string& path, const std::string& folder) {
    if (folder.empty() || path.size() <= folder.size()) return false;
    const bool ends_in_separator = folder.back() == '\\' || folder.back() == '/';
    const char next = path[folder.size()];
    return CompareStringOrdinal(narrow_to_wide(path.substr(0, folder.size())).c_str(), -1,
                                narrow_to_wide(folder).c_str(), -1, TRUE) == CSTR_EQUAL &&
           (ends_in_separator || next == '\\' || next == '/');
}
