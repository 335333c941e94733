// Opening the files the program reads (the catalogue, its signature, the
// keys, the images) so that nothing can make the run hang on them, and
// telling where an open file really lies.
#pragma once

#include <cstdio>
#include <string>

// Opens a regular file to read, binary. Whatever stands at the path is
// opened without waiting (a FIFO swapped in after any earlier check would
// otherwise block the open until a writer came), then judged on the open
// handle: anything but a regular file (a FIFO, a folder, a device) is closed
// again and refused. Null, with the reason in words in `why`.
std::FILE* open_regular_file_for_reading(const std::string& path, std::string& why);

// The full path, every link resolved, of the file an open stream reads;
// empty when the system cannot tell.
std::string real_path_of_open_file(std::FILE* file);

// The same for a path (a folder); empty when it cannot be resolved.
std::string real_path(const std::string& path);

// Whether a resolved path lies inside a resolved folder (below it, not the
// folder itself), comparing names as the system does.
bool real_path_within(const std::string& path, const std::string& folder);
