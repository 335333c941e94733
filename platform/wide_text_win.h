// Conversion of the process's wide (UTF-16) command line into the narrow text
// the rest of the program works with. Windows only.
#pragma once

// Converts a NUL-terminated wide string, its terminator included, into the
// ANSI code page; characters the code page lacks become its default
// character. Returns the bytes written (terminator included), or 0 when the
// conversion failed, for instance because the text does not fit `capacity`.
int wide_to_narrow(const wchar_t* source, char* destination, int capacity);
