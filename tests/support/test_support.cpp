#include "support/test_support.h"

#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace test_support {

scratch_dir::scratch_dir() {
    std::string pattern = (fs::temp_directory_path() / "kvtapefw-test-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
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
    return text.str();
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
    if (value) ::setenv(name, value, 1);
    else ::unsetenv(name);
}

scoped_env::~scoped_env() {
    if (had_value_) ::setenv(name_.c_str(), saved_.c_str(), 1);
    else ::unsetenv(name_.c_str());
}

namespace {
std::string shell_quote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'') quoted += "'\\''";
        else quoted += c;
    }
    return quoted + "'";
}
}  // namespace

program_run run_kvtapefw(const std::vector<std::string>& args, const fs::path& cwd,
                         const std::map<std::string, std::string>& env) {
    scratch_dir capture;
    const fs::path out = capture / "stdout";
    const fs::path err = capture / "stderr";
    std::string command = "cd " + shell_quote(cwd.string()) + " && ";
    for (const auto& [name, value] : env) {
        command += value.empty() ? "unset " + name + "; " : "export " + name + "=" + shell_quote(value) + "; ";
    }
    command += "exec " + shell_quote(KVFW_BINARY);
    for (const std::string& arg : args) command += " " + shell_quote(arg);
    command += " </dev/null >" + shell_quote(out.string()) + " 2>" + shell_quote(err.string());
    const int status = std::system(("/bin/sh -c " + shell_quote(command)).c_str());
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1000;
    return {code, read_file(out), read_file(err)};
}

}  // namespace test_support
