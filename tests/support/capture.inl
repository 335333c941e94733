#pragma once

#include <cstdio>
#include <unistd.h>

namespace test_support {

std::string read_file(const std::filesystem::path& path);

template <typename Fn>
std::string capture_stdout(Fn&& fn) {
    std::fflush(stdout);
    std::FILE* sink = std::tmpfile();
    const int saved = ::dup(::fileno(stdout));
    ::dup2(::fileno(sink), ::fileno(stdout));
    fn();
    std::fflush(stdout);
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
