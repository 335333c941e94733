// What the code under test writes to standard output or standard error,
// caught through a scratch file for the length of one call:
//
//   const std::string out = test_support::capture_stdout([&] { dump_table(*table); });
#pragma once

#include <cstdio>
#include <string>

namespace test_support {

// A scratch stream, read and write, binary, gone once closed. Never null: it
// throws when no such file can be made.
std::FILE* open_capture_file();
// Everything written to the stream, from its start.
std::string read_stream(std::FILE* file);

// While alive, what is written to `stream` lands in a scratch file instead.
class stream_capture {
public:
    explicit stream_capture(std::FILE* stream);
    ~stream_capture();
    stream_capture(const stream_capture&) = delete;
    stream_capture& operator=(const stream_capture&) = delete;

    // Puts the stream back and returns what was written meanwhile.
    std::string finish();

private:
    void restore();

    std::FILE* stream_;
    std::FILE* sink_;
    int saved_fd_;
    int saved_mode_ = 0;
};

template <typename Fn>
std::string capture_stream(std::FILE* stream, Fn&& fn) {
    stream_capture capture(stream);
    fn();
    return capture.finish();
}

template <typename Fn>
std::string capture_stdout(Fn&& fn) { return capture_stream(stdout, fn); }

template <typename Fn>
std::string capture_stderr(Fn&& fn) { return capture_stream(stderr, fn); }

}  // namespace test_support
