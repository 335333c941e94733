#include "platform/held_file.h"

#include <share.h>

#include <cstdio>

file_handle open_file_denying_writers(const char* path, bool& denies_writers) {
    // _SH_DENYWR opens with FILE_SHARE_READ alone: while the handle is open,
    // nobody else may open the file to write it, nor rename or delete it.
    file_handle file(_fsopen(path, "rb", _SH_DENYWR));
    denies_writers = file != nullptr;
    return file;
}

file_handle open_private_file() { return file_handle(std::tmpfile()); }
