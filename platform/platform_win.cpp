#include "platform/platform.h"

#include "platform/interrupt.h"

#include <windows.h>
#include <shellapi.h>
#include <fcntl.h>
#include <io.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <cwchar>
#include <memory>

#include "platform/wide_text_win.h"

namespace {

constexpr int argument_slot_size = 512;
constexpr DWORD expansion_capacity = 512;

struct local_free_deleter {
    void operator()(LPWSTR* memory) const { LocalFree(memory); }
};
using argument_vector = std::unique_ptr<LPWSTR, local_free_deleter>;

struct find_close_deleter {
    void operator()(HANDLE handle) const { FindClose(handle); }
};
using find_handle = std::unique_ptr<void, find_close_deleter>;

// The first match of a FindFirstFileA pattern, or null when nothing matches.
find_handle find_first(const std::string& pattern, WIN32_FIND_DATAA& data) {
    HANDLE handle = FindFirstFileA(pattern.c_str(), &data);
    return find_handle(handle == INVALID_HANDLE_VALUE ? nullptr : handle);
}

}  // namespace

// Windows hands every program its whole command line; argv plays no part.
void remember_process_arguments(int, char**) {}

bool process_arguments(std::vector<narrow_argument>& out) {
    out.clear();
    int count = 0;
    // The operating system's own quoting rules decide where arguments end.
    argument_vector arguments(CommandLineToArgvW(GetCommandLineW(), &count));
    if (!arguments) {
        std::wprintf(L"CommandLineToArgvW failed\n");
        return false;
    }
    for (int i = 0; i < count; ++i) {
        std::array<char, argument_slot_size> slot{};
        const bool fits = wide_to_narrow(arguments.get()[i], slot.data(), argument_slot_size) != 0;
        out.push_back({fits ? std::string(slot.data()) : std::string(), fits});
    }
    return true;
}

std::string expand_environment(const std::string& text) {
    std::array<char, expansion_capacity> buffer{};
    const DWORD needed = ExpandEnvironmentStringsA(text.c_str(), buffer.data(), expansion_capacity);
    if (needed == 0) return text;
    if (needed <= expansion_capacity) return std::string(buffer.data());
    // Longer than the buffer: hand back the whole expansion, so that callers
    // that need it to fit 512 bytes see that it does not.
    std::string longer(needed, '\0');
    const DWORD written = ExpandEnvironmentStringsA(text.c_str(), longer.data(), needed);
    if (written == 0 || written > needed) return text;
    longer.resize(written - 1);
    return longer;
}

std::string absolute_path(const std::string& path) {
    std::array<char, MAX_PATH> full{};
    const DWORD length = GetFullPathNameA(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (length == 0 || length >= full.size()) return path;
    return std::string(full.data(), length);
}

bool path_exists(const std::string& path) {
    WIN32_FIND_DATAA data;
    return find_first(path, data) != nullptr;
}

namespace {
// The volume and file index of an existing file or folder; false when it
// cannot be opened to ask.
bool file_identity(const std::string& path, BY_HANDLE_FILE_INFORMATION& info) {
    const std::wstring wide = narrow_to_wide(path);
    if (wide.empty()) return false;
    HANDLE handle = CreateFileW(wide.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    const bool known = GetFileInformationByHandle(handle, &info) != 0;
    CloseHandle(handle);
    return known;
}
}  // namespace

bool same_file(const std::string& a, const std::string& b) {
    BY_HANDLE_FILE_INFORMATION one{}, other{};
    return file_identity(a, one) && file_identity(b, other) && one.dwVolumeSerialNumber == other.dwVolumeSerialNumber &&
           one.nFileIndexHigh == other.nFileIndexHigh && one.nFileIndexLow == other.nFileIndexLow;
}

bool create_directory(const std::string& path) { return CreateDirectoryA(path.c_str(), nullptr) != 0; }

bool is_regular_file(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES &&
           (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) == 0;
}

std::FILE* open_regular_file_for_append(const std::string& path, std::string& why) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        why = "is a folder, not a regular file";
        return nullptr;
    }
    // Opening a pipe or a device never waits; what it opened is checked below.
    HANDLE handle = CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        why = "cannot be opened for appending (error " + std::to_string(GetLastError()) + ")";
        return nullptr;
    }
    const DWORD type = GetFileType(handle);
    if (type != FILE_TYPE_DISK) {
        CloseHandle(handle);
        why = type == FILE_TYPE_PIPE ? "is a pipe, not a regular file" : "is a device, not a regular file";
        return nullptr;
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_WRONLY | _O_APPEND);
    if (fd < 0) {
        CloseHandle(handle);
        why = "cannot be opened for appending";
        return nullptr;
    }
    std::FILE* file = _fdopen(fd, "ab");
    if (file == nullptr) {
        _close(fd);
        why = "cannot be opened for appending";
    }
    return file;
}

bool replace_file(const std::string& from, const std::string& to) {
    const std::wstring wide_from = narrow_to_wide(from), wide_to = narrow_to_wide(to);
    if (wide_from.empty() || wide_to.empty()) return false;
    return MoveFileExW(wide_from.c_str(), wide_to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

bool remove_file(const std::string& path) {
    const std::wstring wide = narrow_to_wide(path);
    return !wide.empty() && DeleteFileW(wide.c_str()) != 0;
}

bool read_directory(const std::string& path, std::vector<std::string>& names) {
    names.clear();
    WIN32_FIND_DATAA data;
    // Even an empty folder holds "." and "..": no first entry means no folder.
    find_handle search = find_first(path + "\\*", data);
    if (!search) return false;
    do {
        const std::string name = data.cFileName;
        if (name != "." && name != "..") names.push_back(name);
    } while (FindNextFileA(search.get(), &data));
    return GetLastError() == ERROR_NO_MORE_FILES;
}

std::vector<std::string> list_directory(const std::string& path) {
    std::vector<std::string> names;
    if (!read_directory(path, names)) names.clear();
    return names;
}

bool is_directory(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::string path_in_folder(const std::string& folder, const std::string& name) {
    if (folder.empty() || folder.back() == '\\' || folder.back() == '/') return folder + name;
    return folder + "\\" + name;
}

std::string default_trusted_keys_folder() { return expand_environment("%ProgramData%\\kvtapefw\\trusted-keys"); }
std::string default_state_folder() { return expand_environment("%ProgramData%\\kvtapefw"); }

std::string default_run_lock_name() { return "Global\\kvtapefw"; }

std::string folder_of_path(const std::string& path) {
    const std::size_t last = path.find_last_of("/\\");
    if (last == std::string::npos) return ".";
    // "C:\x" keeps its root: the folder of a file in a drive's root is "C:\".
    if (last == 2 && path.size() > 1 && path[1] == ':') return path.substr(0, 3);
    return last == 0 ? path.substr(0, 1) : path.substr(0, last);
}

bool stderr_is_terminal() {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

void platform_sleep_ms(std::uint32_t milliseconds) { sleep_unless_stopped(milliseconds); }

std::int64_t platform_now_seconds() { return static_cast<std::int64_t>(std::time(nullptr)); }

std::string host_name() {
    char name[MAX_COMPUTERNAME_LENGTH + 1] = "";
    DWORD length = sizeof name;
    if (!::GetComputerNameA(name, &length)) return {};
    return std::string(name, length);
}

int process_exit_status(int code) { return code; }
