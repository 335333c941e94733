// Helpers shared by the tests: scratch folders, small files, and running the
// built kvtapefw the way a user or a deployment tool does.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace test_support {

// A fresh folder under the system's temporary folder, removed on destruction.
class scratch_dir {
public:
    scratch_dir();
    ~scratch_dir();
    scratch_dir(const scratch_dir&) = delete;
    scratch_dir& operator=(const scratch_dir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::string str() const { return path_.string(); }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

void write_file(const std::filesystem::path& path, const std::string& content);
std::string read_file(const std::filesystem::path& path);
std::vector<std::string> read_lines(const std::filesystem::path& path);
// Bytes as lower-case hex without spaces, as the trace prints a CDB.
std::string hex_text(const std::uint8_t* bytes, std::size_t length);

// Changes the current folder for the life of the object.
class current_dir {
public:
    explicit current_dir(const std::filesystem::path& path);
    ~current_dir();

private:
    std::filesystem::path saved_;
};

// Sets (or with nullptr unsets) an environment variable for the life of the object.
class scoped_env {
public:
    scoped_env(const char* name, const char* value);
    ~scoped_env();

private:
    std::string name_;
    bool had_value_;
    std::string saved_;
};

// Makes a named pipe (FIFO) at the path; false where the system has none.
bool make_fifo(const std::filesystem::path& path);

// Gives the file (not a link's target) to another owner, as chown -h does;
// false where the system has no such owners (Windows) or it fails.
bool change_owner(const std::filesystem::path& path, unsigned uid);

// Lets everyone write the file or folder: the "others" write bit on POSIX,
// an entry allowing Everyone to write and delete in its access list on
// Windows (as icacls /grant Everyone:(W,D) does).
bool open_to_everyone(const std::filesystem::path& path);

// While alive, no file this process writes can grow past `bytes`, as on a
// full disk: a write beyond it fails instead of ending the process. Only
// where the system has such a limit (POSIX); active() tells.
class file_size_limit {
public:
    explicit file_size_limit(std::uint64_t bytes);
    ~file_size_limit();
    file_size_limit(const file_size_limit&) = delete;
    file_size_limit& operator=(const file_size_limit&) = delete;
    bool active() const { return active_; }

private:
    bool active_ = false;
    std::uint64_t saved_limit_ = 0;
    void (*saved_signal_)(int) = nullptr;
};

struct program_run {
    int exit_code;
    std::string out;
    std::string err;
};

// Runs the built kvtapefw in `cwd` with the given arguments; `env` entries are
// set for that run only (an empty value unsets the variable). With
// `stdout_fd`, standard output goes to that open descriptor instead of
// being captured.
program_run run_kvtapefw(const std::vector<std::string>& args, const std::filesystem::path& cwd,
                         const std::map<std::string, std::string>& env = {}, int stdout_fd = -1);

}  // namespace test_support
