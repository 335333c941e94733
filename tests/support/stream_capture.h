// Standard error of a call, for the operations that report there.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <string>

#include "support/test_support.h"

namespace test_support {

template <typename Fn>
std::string capture_stderr(Fn&& fn) {
    std::fflush(stderr);
    std::FILE* sink = open_capture_file();
    const int saved = ::dup(::fileno(stderr));
    ::dup2(::fileno(sink), ::fileno(stderr));
    fn();
    std::fflush(stderr);
    ::dup2(saved, ::fileno(stderr));
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
