// Conversion between the wide (UTF-16) text of Windows' own calls and the
// narrow text the rest of the program works with. Windows only.
#pragma once

#include <string>

// Converts a NUL-terminated wide string, its terminator included, into the
// ANSI code page; characters the code page lacks become its default
// character. Returns the bytes written (terminator included), or 0 when the
// conversion failed, for instance because the text does not fit `capacity`.
int wide_to_narrow(const wchar_t* source, char* destination, int capacity);

// Converts narrow text of the ANSI code page into wide text, for the wide
// file calls: the narrow ones stop at 260 characters, the wide ones do not
// (Xerces-C writes through them too). Empty when the conversion fails.
std::wstring narrow_to_wide(const std::string& text);
