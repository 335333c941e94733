#include "support/capture.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <sys/stat.h>
#else
#include <unistd.h>
#endif

#include <filesystem>
#include <random>
#include <stdexcept>

namespace fs = std::filesystem;

namespace test_support {

std::FILE* open_capture_file() {
#ifdef _WIN32
    // Windows' tmpfile makes its file in the root of the current drive (not
    // writable for everyone), and under Wine it has returned null now and
    // then while two test processes ran side by side. A name of our own,
    // made exclusively in the temporary folder and deleted on close, avoids
    // both.
    static std::mt19937_64 names{std::random_device{}() ^ static_cast<unsigned>(_getpid())};
    for (int attempt = 0; attempt < 100; ++attempt) {
        const fs::path path = fs::temp_directory_path() / ("kvtapefw-capture-" + std::to_string(names()) + ".tmp");
        const int fd = _wopen(path.c_str(), _O_CREAT | _O_EXCL | _O_RDWR | _O_BINARY | _O_TEMPORARY,
                              _S_IREAD | _S_IWRITE);
        if (fd < 0) continue;
        if (std::FILE* file = _fdopen(fd, "w+b")) return file;
        _close(fd);
    }
#else
    if (std::FILE* file = std::tmpfile()) return file;
#endif
    throw std::runtime_error("cannot make a capture file");
}

std::string read_stream(std::FILE* file) {
    std::string text;
    std::rewind(file);
    char chunk[4096];
    for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, file)) > 0;) text.append(chunk, n);
    return text;
}

stream_capture::stream_capture(std::FILE* stream) : stream_(stream), sink_(open_capture_file()) {
    std::fflush(stream_);
    saved_fd_ = ::dup(::fileno(stream_));
    ::dup2(::fileno(sink_), ::fileno(stream_));
#ifdef _WIN32
    // Text mode would turn every "\n" into "\r\n"; the tests compare the
    // program's own text.
    saved_mode_ = ::_setmode(::_fileno(stream_), _O_BINARY);
#endif
}

stream_capture::~stream_capture() {
    restore();
    std::fclose(sink_);
}

std::string stream_capture::finish() {
    restore();
    return read_stream(sink_);
}

void stream_capture::restore() {
    if (saved_fd_ < 0) return;
    std::fflush(stream_);
#ifdef _WIN32
    ::_setmode(::_fileno(stream_), saved_mode_);
#endif
    ::dup2(saved_fd_, ::fileno(stream_));
    ::close(saved_fd_);
    saved_fd_ = -1;
}

}  // namespace test_support
