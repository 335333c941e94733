// Runs the built program through /bin/sh, the way a deployment script on a
// POSIX host would. The Windows test build has no such shell and leaves the
// end-to-end tests to scripts/windows/e2e.sh, which runs kvtapefw.exe under Wine.
#include "support/test_support.h"

#include <sys/wait.h>

#include <cstdlib>

namespace fs = std::filesystem;

namespace test_support {

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
                         const std::map<std::string, std::string>& env, int stdout_fd) {
    scratch_dir capture;
    const fs::path out = capture / "stdout";
    const fs::path err = capture / "stderr";
    std::string command = "cd " + shell_quote(cwd.string()) + " && ";
    for (const auto& [name, value] : env) {
        command += value.empty() ? "unset " + name + "; " : "export " + name + "=" + shell_quote(value) + "; ";
    }
    command += "exec " + shell_quote(KVFW_BINARY);
    for (const std::string& arg : args) command += " " + shell_quote(arg);
    const std::string to = stdout_fd >= 0 ? "&" + std::to_string(stdout_fd) : shell_quote(out.string());
    command += " </dev/null >" + to + " 2>" + shell_quote(err.string());
    const int status = std::system(("/bin/sh -c " + shell_quote(command)).c_str());
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1000;
    return {code, stdout_fd >= 0 ? std::string() : read_file(out), read_file(err)};
}

}  // namespace test_support
