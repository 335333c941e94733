#include "support/test_support.h"

#include <cstdio>

#ifdef _WIN32
#include <windows.h>
#include <aclapi.h>
#else
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace test_support {

namespace {
// Windows' C runtime has _putenv_s (an empty value removes the variable),
// and it passes the change on to the process environment as well.
void set_variable(const char* name, const char* value) {
#ifdef _WIN32
    _putenv_s(name, value ? value : "");
#else
    if (value) ::setenv(name, value, 1);
    else ::unsetenv(name);
#endif
}
}  // namespace

scratch_dir::scratch_dir() {
    // create_directory reports whether it made the folder, so a name another
    // test took in the meantime is simply skipped.
    static std::mt19937_64 names{std::random_device{}()};
    for (int attempt = 0; attempt < 100; ++attempt) {
        fs::path candidate = fs::temp_directory_path() / ("kvtapefw-test-" + std::to_string(names()));
        if (fs::create_directory(candidate)) {
            path_ = candidate;
            return;
        }
    }
    throw std::runtime_error("cannot make a scratch folder");
}

scratch_dir::~scratch_dir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

void write_file(const fs::path& path, const std::string& content) {
    if (path.has_parent_path()) fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
#ifdef _WIN32
    // Windows' C runtime writes every text-mode "\n" as "\r\n"; the tests
    // compare what the program meant to write.
    std::string content = text.str();
    std::string lines;
    for (std::size_t i = 0; i < content.size(); ++i) {
        if (!(content[i] == '\r' && i + 1 < content.size() && content[i + 1] == '\n')) lines += content[i];
    }
    return lines;
#else
    return text.str();
#endif
}

std::string hex_text(const std::uint8_t* bytes, std::size_t length) {
    std::string text;
    char pair[3];
    for (std::size_t i = 0; i < length; ++i) {
        std::snprintf(pair, sizeof pair, "%02x", bytes[i]);
        text += pair;
    }
    return text;
}

std::vector<std::string> read_lines(const fs::path& path) {
    std::vector<std::string> lines;
    std::istringstream in(read_file(path));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

current_dir::current_dir(const fs::path& path) : saved_(fs::current_path()) { fs::current_path(path); }
current_dir::~current_dir() { fs::current_path(saved_); }

scoped_env::scoped_env(const char* name, const char* value) : name_(name) {
    const char* old = std::getenv(name);
    had_value_ = old != nullptr;
    if (old) saved_ = old;
    set_variable(name, value);
}

scoped_env::~scoped_env() { set_variable(name_.c_str(), had_value_ ? saved_.c_str() : nullptr); }

#ifdef _WIN32
bool make_fifo(const fs::path&) { return false; }
bool change_owner(const fs::path&, unsigned) { return false; }

bool open_to_everyone(const fs::path& path) {
    BYTE everyone[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof everyone;
    if (!CreateWellKnownSid(WinWorldSid, nullptr, everyone, &size)) return false;
    PACL old_list = nullptr, new_list = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoW(path.wstring().c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                              &old_list, nullptr, &descriptor) != ERROR_SUCCESS) {
        return false;
    }
    EXPLICIT_ACCESSW access{};
    access.grfAccessPermissions = FILE_GENERIC_WRITE | DELETE;
    access.grfAccessMode = GRANT_ACCESS;
    access.grfInheritance = NO_INHERITANCE;
    access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    access.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
    access.Trustee.ptstrName = reinterpret_cast<LPWSTR>(everyone);
    bool done = SetEntriesInAclW(1, &access, old_list, &new_list) == ERROR_SUCCESS &&
                SetNamedSecurityInfoW(const_cast<LPWSTR>(path.wstring().c_str()), SE_FILE_OBJECT,
                                      DACL_SECURITY_INFORMATION, nullptr, nullptr, new_list, nullptr) == ERROR_SUCCESS;
    LocalFree(new_list);
    LocalFree(descriptor);
    return done;
}

file_size_limit::file_size_limit(std::uint64_t) {}
file_size_limit::~file_size_limit() {}
#else
bool make_fifo(const fs::path& path) { return ::mkfifo(path.c_str(), 0600) == 0; }
bool change_owner(const fs::path& path, unsigned uid) { return ::lchown(path.c_str(), uid, static_cast<gid_t>(-1)) == 0; }

bool open_to_everyone(const fs::path& path) {
    std::error_code failed;
    fs::permissions(path, fs::perms::others_write, fs::perm_options::add, failed);
    return !failed;
}

file_size_limit::file_size_limit(std::uint64_t bytes) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_FSIZE, &limit) != 0 || (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < bytes)) return;
    saved_limit_ = limit.rlim_cur;
    // Past the limit the system raises SIGXFSZ, which would end the tests;
    // ignored, the write fails with EFBIG as a full disk's does with ENOSPC.
    saved_signal_ = std::signal(SIGXFSZ, SIG_IGN);
    limit.rlim_cur = bytes;
    active_ = ::setrlimit(RLIMIT_FSIZE, &limit) == 0;
    if (!active_) std::signal(SIGXFSZ, saved_signal_);
}

file_size_limit::~file_size_limit() {
    if (!active_) return;
    rlimit limit{};
    ::getrlimit(RLIMIT_FSIZE, &limit);
    limit.rlim_cur = saved_limit_;
    ::setrlimit(RLIMIT_FSIZE, &limit);
    std::signal(SIGXFSZ, saved_signal_);
}
#endif

}  // namespace test_support
