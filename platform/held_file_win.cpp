#include "platform/held_file.h"

#include <windows.h>
#include <io.h>
#include <share.h>

#include <cstdio>

#include "platform/platform.h"

file_handle open_file_denying_writers(const char* path, bool& denies_writers) {
    // _SH_DENYWR opens with FILE_SHARE_READ alone: while the handle is open,
    // nobody else may open the file to write it, nor rename or delete it.
    file_handle file(_fsopen(path, "rb", _SH_DENYWR));
    // A device name ("CON", "COM1") is no image, and reading it could wait.
    if (file && GetFileType(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file.get())))) != FILE_TYPE_DISK) {
        file.reset();
    }
    denies_writers = file != nullptr;
    return file;
}

// Only reached when the image could not be held denying writers.
file_handle open_private_file(std::string& folder, std::string& why) {
    folder = environment_variable("TMP");
    file_handle file(std::tmpfile());
    if (!file) why = "no temporary file could be made";
    return file;
}
