// Progress for a person watching a terminal: one line on standard error,
// rewritten in place. A deployment tool that captures the output gets nothing
// extra, so standard output and the setup log read the same either way.
#pragma once

#include <cstdint>
#include <cstdio>

class progress_line {
public:
    // Shows nothing when `enabled` is false.
    progress_line(std::FILE* out, bool enabled) : out_(out), enabled_(enabled) {}
    ~progress_line() { finish(); }
    progress_line(const progress_line&) = delete;
    progress_line& operator=(const progress_line&) = delete;

    bool enabled() const { return enabled_; }
    void download(long long sent, long long total);
    void countdown(std::uint32_t seconds_left);
    // The wait for drives that did not come back within the settle wait.
    void late_countdown(std::uint32_t seconds_left);
    // Ends the line that is showing, if any, so the next output starts clean.
    void finish();

private:
    void show(const char* text);

    std::FILE* out_;
    bool enabled_;
    bool showing_ = false;
    int last_width_ = 0;
};
