// An owned C stdio stream: closed when it goes out of scope.
#pragma once

#include <cstdio>
#include <memory>

struct file_closer {
    void operator()(std::FILE* file) const {
        if (file) std::fclose(file);
    }
};
using file_handle = std::unique_ptr<std::FILE, file_closer>;

inline file_handle open_file(const char* path, const char* mode) { return file_handle(std::fopen(path, mode)); }
