#include "platform/held_file.h"

#include <cstdio>

file_handle open_file_denying_writers(const char* path, bool& denies_writers) {
    denies_writers = false;
    return open_file(path, "rb");
}

// tmpfile() unlinks the file as it creates it: no name leads to it.
file_handle open_private_file() { return file_handle(std::tmpfile()); }
