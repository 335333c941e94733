#pragma once

#include <cstdio>
#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#else
#include <unistd.h>
#endif

namespace test_support {

std::string read_file(const std::filesystem::path& path);
// A scratch stream, read and write, binary, gone once closed. Never null: it
// throws when no such file can be made.
std::FILE* open_capture_file();

template <typename Fn>
std::string capture_stdout(Fn&& fn) {
    std::fflush(stdout);
    std::FILE* sink = open_capture_file();
    const int saved = ::dup(::fileno(stdout));
    ::dup2(::fileno(sink), ::fileno(stdout));
#ifdef _WIN32
    // Text mode would turn every "\n" into "\r\n"; the tests compare the
    // program's own text.
    const int saved_mode = ::_setmode(::_fileno(stdout), _O_BINARY);
#endif
    fn();
    std::fflush(stdout);
#ifdef _WIN32
    ::_setmode(::_fileno(stdout), saved_mode);
#endif
    ::dup2(saved, ::fileno(stdout));
    ::close(saved);
    std::string text;
    std::rewind(sink);
    char chunk[4096];
    std::size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, sink)) > 0) text.append(chunk, n);
    std::fclose(sink);
    return text;
}

}  // namespace test_support
