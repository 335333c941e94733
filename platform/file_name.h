// What a file's name says, read the same way on every system.
#pragma once

#include <string>

// Whether a file name ends with `extension` (".pem") in any letter case, and
// has something before it: "K1.PEM" is a key file on Linux as on Windows, so
// that a folder means the same on every host.
bool has_extension(const std::string& name, const std::string& extension);
