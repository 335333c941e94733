// Files whose bytes must not change under the program: a firmware image is
// checked against its catalogue checksum once, and every drive must then be
// sent those very bytes, whatever another program does to the file meanwhile.
#pragma once

#include <string>

#include "platform/file_handle.h"

// Opens a file to read. On Windows no other program may then write, rename
// or delete it until it is closed (its share mode allows reading only), and
// `denies_writers` is set. Elsewhere locks are only advisory: it is a plain
// open and `denies_writers` is false, so the caller keeps a private copy.
file_handle open_file_denying_writers(const char* path, bool& denies_writers);

// A new, empty file for reading and writing that no other program reaches by
// name, gone once it is closed, in the folder for temporary files ($TMPDIR
// when set and not empty, else /tmp; Windows' own elsewhere). `folder` gets
// that folder. Null, with the cause in `why`, when none could be made.
file_handle open_private_file(std::string& folder, std::string& why);
